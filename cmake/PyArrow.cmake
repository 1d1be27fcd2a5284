# Arrow C++ comes from the pyarrow wheel of the Python we build for, so the IPC
# bytes we write are made by the very library Python users hold. The module is
# linked against the wheel's versioned libarrow and finds it at run time through
# an rpath into the pyarrow package next to it in site-packages.

execute_process(
  COMMAND "${Python_EXECUTABLE}" -c
          "import pyarrow as pa; print(pa.get_include()); print(pa.get_library_dirs()[0]); print(pa.__version__)"
  OUTPUT_VARIABLE _pyarrow_out
  RESULT_VARIABLE _pyarrow_rc
  OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT _pyarrow_rc EQUAL 0)
  message(FATAL_ERROR "pyarrow is not importable by ${Python_EXECUTABLE}; install the pinned pyarrow first")
endif()
string(REPLACE "\n" ";" _pyarrow_lines "${_pyarrow_out}")
list(GET _pyarrow_lines 0 PYARROW_INCLUDE_DIR)
list(GET _pyarrow_lines 1 PYARROW_LIBRARY_DIR)
list(GET _pyarrow_lines 2 PYARROW_VERSION)

# Link the versioned soname itself (the wheel ships no unversioned libarrow.so).
file(GLOB _arrow_candidates "${PYARROW_LIBRARY_DIR}/libarrow.so.[0-9]*")
set(PYARROW_LIBARROW "")
foreach(_candidate IN LISTS _arrow_candidates)
  string(LENGTH "${_candidate}" _len)
  if(PYARROW_LIBARROW STREQUAL "" OR _len LESS _best_len)
    set(PYARROW_LIBARROW "${_candidate}")
    set(_best_len ${_len})
  endif()
endforeach()
if(PYARROW_LIBARROW STREQUAL "")
  message(FATAL_ERROR "no libarrow.so.* in ${PYARROW_LIBRARY_DIR}")
endif()
message(STATUS "Arrow from pyarrow ${PYARROW_VERSION}: ${PYARROW_LIBARROW}")

add_library(brivane_arrow SHARED IMPORTED GLOBAL)
set_target_properties(brivane_arrow PROPERTIES
  IMPORTED_LOCATION "${PYARROW_LIBARROW}"
  INTERFACE_INCLUDE_DIRECTORIES "${PYARROW_INCLUDE_DIR}")

# The wheel's C++ ABI must match ours: a std::string-returning Arrow call only
# links when both sides agree on _GLIBCXX_USE_CXX11_ABI.
include(CheckCXXSourceCompiles)
set(CMAKE_REQUIRED_INCLUDES "${PYARROW_INCLUDE_DIR}")
set(CMAKE_REQUIRED_LIBRARIES "${PYARROW_LIBARROW}")
set(CMAKE_REQUIRED_FLAGS "-std=c++20")
check_cxx_source_compiles([=[
  #include <arrow/status.h>
  int main() { return arrow::Status::OK().ToString().empty() ? 1 : 0; }
]=] BRIVANE_ARROW_ABI_MATCHES)
unset(CMAKE_REQUIRED_INCLUDES)
unset(CMAKE_REQUIRED_LIBRARIES)
unset(CMAKE_REQUIRED_FLAGS)
if(NOT BRIVANE_ARROW_ABI_MATCHES)
  message(FATAL_ERROR "the C++ ABI of ${PYARROW_LIBARROW} does not match this compiler's (_GLIBCXX_USE_CXX11_ABI)")
endif()
