// Defaults for the sanitizer runtimes of the fuzz targets, so a target run by
// hand stops at the first report and knows the suppressions; UBSAN_OPTIONS
// and ASAN_OPTIONS still override them.
extern "C" const char* __ubsan_default_options() {
  return "halt_on_error=1:print_stacktrace=1:suppressions=" BRIVANE_UBSAN_SUPPRESSIONS;
}
