// Test entry for everything that touches Qt: one QApplication for the whole run.
#include <gtest/gtest.h>
#include <QApplication>

#ifdef ZV_SANITIZER_REPORTS
// The sanitized build: halt at the first finding, reports into one folder;
// for this test and, through the environment, every program it starts.
#define ZV_ASAN                                                                         \
    "halt_on_error=1:detect_leaks=1:strict_string_checks=1:check_initialization_order=1" \
    ":log_path=" ZV_SANITIZER_REPORTS "/asan"
#define ZV_UBSAN "halt_on_error=1:print_stacktrace=1:log_path=" ZV_SANITIZER_REPORTS "/ubsan"
#define ZV_LSAN "suppressions=" ZV_LSAN_SUPPRESSIONS ":print_suppressions=0"
extern "C" const char* __asan_default_options() {
    return ZV_ASAN;
}
extern "C" const char* __ubsan_default_options() {
    return ZV_UBSAN;
}
extern "C" const char* __lsan_default_options() {
    return ZV_LSAN;
}
#endif

int main(int argc, char** argv) {
#ifdef ZV_SANITIZER_REPORTS
    qputenv("ASAN_OPTIONS", ZV_ASAN);
    qputenv("UBSAN_OPTIONS", ZV_UBSAN);
    qputenv("LSAN_OPTIONS", ZV_LSAN);
#endif
    qputenv("QT_QPA_PLATFORM",
            qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
