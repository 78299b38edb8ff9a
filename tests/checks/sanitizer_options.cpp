// Linked into the sanitized program: a report must end it with a status no
// run of its own gives (it gives 0 and 1), wherever it runs, even where no
// ASAN_OPTIONS can be passed, as inside the test machine.
extern "C" const char* __asan_default_options() {
    return "exitcode=86:detect_leaks=1";
}

extern "C" const char* __ubsan_default_options() {
    return "exitcode=87:halt_on_error=1:print_stacktrace=1";
}
