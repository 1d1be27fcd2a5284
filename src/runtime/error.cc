#include "runtime/error.h"

#include <cstring>

namespace brivane {

std::string os_error_text(int errnum) {
  char buf[256];
  // GNU strerror_r returns the text, which may or may not live in buf.
  const char* text = strerror_r(errnum, buf, sizeof buf);
  return std::string(text) + " (os error " + std::to_string(errnum) + ")";
}

ModuleError ModuleError::io_errno(int errnum) { return io(os_error_text(errnum)); }

std::string ModuleError::text() const {
  switch (kind_) {
    case ErrorKind::InvalidArgument:
    case ErrorKind::InvalidCache:
    case ErrorKind::PythonInterrupt:
    case ErrorKind::PythonExit:
    case ErrorKind::InternalFault:
      return payload_;
    case ErrorKind::Io:
      return "I/O error: " + payload_;
    case ErrorKind::Json:
      return "JSON error: " + payload_;
    case ErrorKind::Arrow:
      return "Arrow error: " + payload_;
    case ErrorKind::PythonError:
      return "Python error: " + payload_;
    case ErrorKind::WorkerFailed:
      return "runtime worker failed";
  }
  return payload_;
}

}  // namespace brivane
