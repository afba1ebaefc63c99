// Loaded into a program with LD_PRELOAD, it makes the host look as if it had no IPv6 at all (as
// with the kernel's ipv6.disable=1): every IPv6 socket fails with EAFNOSUPPORT; the rest goes to
// the C library's socket().
#include <dlfcn.h>
#include <sys/socket.h>

#include <cerrno>

extern "C" int socket(int domain, int type, int protocol) __THROW {
  using Socket = int (*)(int, int, int);
  static const auto real = reinterpret_cast<Socket>(dlsym(RTLD_NEXT, "socket"));
  if (domain == AF_INET6) {
    errno = EAFNOSUPPORT;
    return -1;
  }
  return real(domain, type, protocol);
}
