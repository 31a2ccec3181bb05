// Replaced by the simulator proper.
extern "C" __declspec(dllexport) int InitNervaUPSLib(void*) { return 0; }
