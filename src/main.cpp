#include "runtime/startup.h"

int main() { return agentMain(); }
