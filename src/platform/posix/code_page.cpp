// Linux has no ANSI code page apart from the locale's, and the agent must not
// depend on the locale a service manager starts it with: UTF-8 it is.
#include "platform/code_page.h"

uint32_t codePage_WideToAnsi(const char16_t*, char*, uint32_t) { return CODE_PAGE_IS_UTF8; }
