// Loaded by the platform-layer tests to check symbol lookup by name.
extern "C" int PortTestTwice(int value) {
    return value * 2;
}

extern "C" const char* PortTestName() {
    return "port test module";
}
