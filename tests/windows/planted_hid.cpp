// A HID.DLL without HID's entry points, planted beside the program: one
// loaded by name from the program's folder would fail the run.
extern "C" __declspec(dllexport) int Planted() {
    return 1;
}
