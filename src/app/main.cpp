// Voltwarden.exe: the service VoltwardenBasicEdition and its console tool.
#include "app/program_entry.h"
#include "log/event_list.h"

int main(int argc, char** argv) {
    // Before anything else and before any other thread exists: the UPS callback
    // looks texts up in this list without a lock.
    LoadEventList();
    return ProgramEntry(argc, argv);
}
