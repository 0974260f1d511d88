#include "serial/linux/os_error.h"

#include <cerrno>
#include <cstring>

#include "core/runtime.h"

namespace tl::serial_linux {

bool noModemLines(int e) { return e == EINVAL || e == ENOTTY || e == ENOSYS || e == EOPNOTSUPP; }

int openErrorNumber(int errnum) {
  switch (errnum) {
    case ENOENT:
    case ENXIO:
    case ENODEV:
      return err::kDeviceUnavailable;
    case EACCES:
    case EPERM:
      return err::kPermissionDenied;
    case EBUSY:
    case EWOULDBLOCK:
      return err::kPathAccess;
    default:
      return err::kIoError;
  }
}

}  // namespace tl::serial_linux
