#include "runtime/error.h"

#include <gtest/gtest.h>

namespace brivane {
namespace {

TEST(ModuleError, TextCarriesTheKindsPrefix) {
  struct Case {
    ModuleError error;
    const char* text;
  } cases[] = {
      {ModuleError::invalid_argument("num_workers must be greater than zero"), "num_workers must be greater than zero"},
      {ModuleError::invalid_cache("bad"), "bad"},
      {ModuleError::io("disk full"), "I/O error: disk full"},
      {ModuleError::json("eof at line 1 column 2"), "JSON error: eof at line 1 column 2"},
      {ModuleError::arrow("Invalid: x"), "Arrow error: Invalid: x"},
      {ModuleError(ErrorKind::PythonError, "ValueError: boom"), "Python error: ValueError: boom"},
      {ModuleError(ErrorKind::PythonInterrupt, "KeyboardInterrupt: "), "KeyboardInterrupt: "},
      {ModuleError::worker_failed(), "runtime worker failed"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.error.text(), c.text);
}

Result<int> half(int x) {
  if (x % 2) return ModuleError::invalid_argument("odd");
  return x / 2;
}

Result<int> quarter(int x) {
  BRV_ASSIGN_OR_RETURN(int h, half(x));
  BRV_ASSIGN_OR_RETURN(int q, half(h));
  return q;
}

TEST(Result, PropagatesTheFirstFailure) {
  EXPECT_EQ(quarter(8).value(), 2);
  auto r = quarter(6);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().text(), "odd");
}

TEST(ModuleError, IoErrnoNamesTheOsError) {
  EXPECT_EQ(ModuleError::io_errno(2).text(), "I/O error: No such file or directory (os error 2)");
}

}  // namespace
}  // namespace brivane
