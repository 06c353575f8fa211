#include "engine/standard_streams.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

void PrepareStandardStreams() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1) continue;
    // The lowest free descriptor: `fd` itself, as the ones below it are open.
    const int opened =
        ::open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
    if (opened >= 0 && opened != fd) ::close(opened);
  }
  std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
}
