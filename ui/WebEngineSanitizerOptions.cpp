// Linked into sanitizer builds only (the test configuration), in every program that shows a web
// page. The browser engine frees some of its objects with a size of their base class, which the
// address sanitizer takes for a fault of ours; that check is off there. The engine also keeps
// process-wide objects until exit, which are not leaks of this program.
extern "C" const char* __asan_default_options() {
    return "new_delete_type_mismatch=0";
}

extern "C" const char* __lsan_default_suppressions() {
    return "leak:libQt6WebEngineCore\nleak:libfontconfig\nleak:libdbus\n";
}
