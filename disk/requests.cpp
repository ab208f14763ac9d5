// Geometry, identity, acoustic value, reset and size requests.
#include <cerrno>

#include "requests.h"

int disk_other_request(int /*handle*/, int /*request*/, void* /*arg*/) {
  errno = ENOSYS;
  return -1;
}
