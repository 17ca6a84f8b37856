// Scripted ICAP peer: on loopback, records each request up to its empty line and
// plays back a fixed answer, saying what real servers cannot be made to say at
// will (cut lines, folded blocks, odd codes, silence). --answer takes C escapes
// (\r \n \t \xHH), --answer-file is sent raw; --silent never answers, --hold
// keeps the connection until the peer closes; --connections 0 serves until
// --lifetime (default 60 s) ends the process.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

namespace {

struct Options {
  std::string portFile, answer, recordFile;
  bool silent = false, hold = false, ipv6 = false;
  long connections = 0;
  unsigned lifetime = 60;
};

std::string unescape(const std::string& in) {
  std::string out;
  for (size_t i = 0; i < in.size(); ++i) {
    if (in[i] != '\\' || i + 1 == in.size()) {
      out += in[i];
      continue;
    }
    char c = in[++i];
    if (c == 'x' && i + 2 < in.size()) out += static_cast<char>(strtol(in.substr(i + 1, 2).c_str(), nullptr, 16)), i += 2;
    else out += c == 'r' ? '\r' : c == 'n' ? '\n' : c == 't' ? '\t' : c;
  }
  return out;
}

bool readFile(const std::string& path, std::string* out) {
  std::ifstream f(path, std::ios::binary);
  *out = {std::istreambuf_iterator<char>(f), {}};
  return static_cast<bool>(f);
}

// Reads until the request's empty line, the peer's close, or 5 s of quiet.
std::string readRequest(int fd) {
  std::string got;
  char buf[4096];
  while (got.find("\r\n\r\n") == std::string::npos) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 5000) <= 0) break;
    ssize_t n = recv(fd, buf, sizeof(buf), 0);
    if (n <= 0) break;
    got.append(buf, static_cast<size_t>(n));
  }
  return got;
}

void sendAll(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

int usage() {
  fprintf(stderr,
          "usage: icap_script_server --port-file F [--answer TEXT | --answer-file F] "
          "[--record F] [--silent] [--hold] [--ipv6] [--connections N] [--lifetime SEC]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto next = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
    const char* v = nullptr;
    if (a == "--silent") o.silent = true;
    else if (a == "--hold") o.hold = true;
    else if (a == "--ipv6") o.ipv6 = true;
    else if ((a == "--port-file") && (v = next())) o.portFile = v;
    else if ((a == "--answer") && (v = next())) o.answer = unescape(v);
    else if ((a == "--answer-file") && (v = next())) {
      if (!readFile(v, &o.answer)) return usage();
    } else if ((a == "--record") && (v = next())) o.recordFile = v;
    else if ((a == "--connections") && (v = next())) o.connections = atol(v);
    else if ((a == "--lifetime") && (v = next())) o.lifetime = static_cast<unsigned>(atol(v));
    else return usage();
  }
  if (o.portFile.empty()) return usage();
  signal(SIGPIPE, SIG_IGN);
  alarm(o.lifetime);  // never outlive a test that forgot us

  int ls = socket(o.ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  setsockopt(ls, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  sockaddr_storage ss{};
  auto* sa = reinterpret_cast<sockaddr*>(&ss);
  socklen_t len = 0;
  auto* a6 = reinterpret_cast<sockaddr_in6*>(&ss);
  auto* a4 = reinterpret_cast<sockaddr_in*>(&ss);
  if (o.ipv6) a6->sin6_family = AF_INET6, a6->sin6_addr = in6addr_loopback, len = sizeof(*a6);
  else a4->sin_family = AF_INET, a4->sin_addr.s_addr = htonl(INADDR_LOOPBACK), len = sizeof(*a4);
  if (ls < 0 || bind(ls, sa, len) != 0 || listen(ls, 64) != 0 ||
      getsockname(ls, sa, &len) != 0) {
    perror("listen");
    return 1;
  }
  const uint16_t port = o.ipv6 ? a6->sin6_port : a4->sin_port;
  // Written under another name and renamed, so a reader never sees half a number.
  std::string tmp = o.portFile + ".tmp";
  std::ofstream(tmp) << ntohs(port) << "\n";
  if (rename(tmp.c_str(), o.portFile.c_str()) != 0) return 1;

  for (long served = 0; o.connections == 0 || served < o.connections; ++served) {
    int fd = accept4(ls, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    std::string request = readRequest(fd);
    if (!o.recordFile.empty()) std::ofstream(o.recordFile, std::ios::binary | std::ios::app) << request;
    if (!o.silent) sendAll(fd, o.answer);
    for (char buf[512]; (o.silent || o.hold) && recv(fd, buf, sizeof(buf), 0) > 0;) {
    }
    close(fd);
  }
  close(ls);
  return 0;
}
