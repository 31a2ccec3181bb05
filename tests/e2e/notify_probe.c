/* A notification command for the end-to-end tests: appends what it was given to a file.
 * notify_probe.exe <file> <seconds to sleep> <event> <text>
 * writes "start|<event>|<text>|<VOLTWARDEN_EVENT>|<VOLTWARDEN_TEXT>|<VOLTWARDEN_CHARGE>|<VOLTWARDEN_MODEL>",
 * sleeps, then writes "end|<event>" and ends with exit code 0. */
#include <stdio.h>
#include <stdlib.h>
#include <windows.h>

static const char *variable(const char *name) {
    const char *value = getenv(name);
    return value != NULL ? value : "<none>";
}

static void append(const char *path, const char *line) {
    FILE *out = fopen(path, "ab");
    if (out == NULL) exit(3);
    fputs(line, out);
    fputs("\r\n", out);
    fclose(out);
}

int main(int argc, char **argv) {
    char line[4096];
    if (argc != 5) return 2;
    snprintf(line, sizeof line, "start|%s|%s|%s|%s|%s|%s", argv[3], argv[4], variable("VOLTWARDEN_EVENT"),
             variable("VOLTWARDEN_TEXT"), variable("VOLTWARDEN_CHARGE"), variable("VOLTWARDEN_MODEL"));
    append(argv[1], line);
    Sleep((DWORD)atoi(argv[2]) * 1000);
    snprintf(line, sizeof line, "end|%s", argv[3]);
    append(argv[1], line);
    return 0;
}
