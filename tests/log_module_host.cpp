// Loads a module built from log_probe_module.cpp, has it log one record, and,
// when asked to, unloads it before the program ends. Prints whether logging
// was on.
//
//   log_module_host MODULE [unload]
#include <dlfcn.h>

#include <cstring>
#include <iostream>

int main(int argc, char** argv) {
    if (argc < 2) {
        std::cerr << "usage: log_module_host MODULE [unload]\n";
        return 2;
    }
    void* module = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) {
        std::cerr << dlerror() << "\n";
        return 2;
    }
    using probe_fn = bool (*)(const char*);
    const auto probe = reinterpret_cast<probe_fn>(dlsym(module, "probe_log"));
    if (probe == nullptr) {
        std::cerr << dlerror() << "\n";
        return 2;
    }
    std::cout << (probe("module record") ? "on" : "off") << std::endl;
    if (argc > 2 && std::strcmp(argv[2], "unload") == 0 && dlclose(module) != 0) {
        std::cerr << dlerror() << "\n";
        return 2;
    }
    return 0;
}
