// Linked into every program of the sanitizer build (make test-sanitize):
// the sanitizer options that make any report end the process with SIGABRT,
// so that the test which ran it fails. Built in rather than only set in the
// environment because cupsfilter and cupsd start the filter with an
// environment of their own. ASAN_OPTIONS, UBSAN_OPTIONS and LSAN_OPTIONS
// in the environment still override these.
//
// fast_unwind_on_malloc=0: libcups keeps no frame pointers, and the leak
// suppression (lsan.supp) must see the libcups frames of the allocation.
extern "C" {

__attribute__((used, visibility("default"))) const char* __asan_default_options() {
  return "abort_on_error=1:fast_unwind_on_malloc=0:malloc_context_size=12";
}

__attribute__((used, visibility("default"))) const char* __ubsan_default_options() {
  return "abort_on_error=1:halt_on_error=1:print_stacktrace=1";
}

__attribute__((used, visibility("default"))) const char* __lsan_default_options() {
  return "suppressions=" TAVEL_LSAN_SUPPRESSIONS ":print_suppressions=0";
}

}  // extern "C"
