// libFuzzer links libstdc++ ahead of the shared ASan runtime. Nothing in
// libstdc++ defines a function that ASan intercepts, so the runtime's place
// in the load order does not matter here and its check is switched off.
extern "C" const char* __asan_default_options() { return "verify_asan_link_order=0"; }
