/* Test helper for the end-to-end tests: asks the service control manager about one
 * service, sends it a control, or removes it. Wine's own sc.exe has no pause or
 * continue, and a test needs the state changes timed in milliseconds.
 *
 *   service_probe NAME query                 prints "STATE <n> ACCEPTS <controls accepted>" or
 *                                            "ER <code>"
 *   service_probe NAME pause|continue|stop [WATCH_MS]
 *       sends the control and prints "OK <state>" or "ER <code>"; with WATCH_MS it then
 *       prints "<ms> <state>" at each change of state, from the moment the control was
 *       sent, until WATCH_MS have passed or the service has stopped
 *   service_probe NAME watch WATCH_MS        the same watch without a control
 *   service_probe NAME remove                stops the service (30 s at most), deletes it and
 *                                            waits until it is gone; prints "REMOVED",
 *                                            "ABSENT" or "ER <code>"
 *   service_probe - sleep MS [MARKER]        just sleeps: a long external command for the service;
 *                                            with MARKER it creates MARKER.started first and
 *                                            writes "done" into MARKER once it has slept
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

static int Watch(SC_HANDLE service, DWORD start, DWORD watchMs, DWORD lastState) {
    SERVICE_STATUS status;
    while (GetTickCount() - start < watchMs) {
        if (!QueryServiceStatus(service, &status)) {
            printf("ER %lu\n", GetLastError());
            return 1;
        }
        if (status.dwCurrentState != lastState) {
            lastState = status.dwCurrentState;
            printf("%lu %lu\n", GetTickCount() - start, lastState);
            fflush(stdout);
        }
        if (lastState == SERVICE_STOPPED) return 0;
        Sleep(10);
    }
    return 0;
}

int main(int argc, char** argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: service_probe NAME query|pause|continue|stop|watch|remove [MS]\n");
        return 2;
    }
    const char* name = argv[1];
    const char* verb = argv[2];
    DWORD watchMs = argc > 3 ? (DWORD)strtoul(argv[3], NULL, 10) : 0;
    if (strcmp(verb, "sleep") == 0) {
        const char* marker = argc > 4 ? argv[4] : NULL;
        if (marker != NULL) {
            char started[MAX_PATH];
            snprintf(started, sizeof(started), "%s.started", marker);
            FILE* file = fopen(started, "wb");
            if (file != NULL) fclose(file);
        }
        Sleep(watchMs);
        if (marker != NULL) {
            FILE* file = fopen(marker, "wb");
            if (file == NULL) return 1;
            fputs("done", file);
            fclose(file);
        }
        return 0;
    }

    SC_HANDLE manager = OpenSCManagerA(NULL, NULL, SC_MANAGER_ALL_ACCESS);
    if (manager == NULL) {
        printf("ER %lu\n", GetLastError());
        return 1;
    }
    SC_HANDLE service = OpenServiceA(manager, name, SERVICE_ALL_ACCESS);
    if (service == NULL) {
        DWORD error = GetLastError();
        printf(strcmp(verb, "remove") == 0 && error == ERROR_SERVICE_DOES_NOT_EXIST ? "ABSENT\n" : "ER %lu\n", error);
        CloseServiceHandle(manager);
        return strcmp(verb, "remove") == 0 && error == ERROR_SERVICE_DOES_NOT_EXIST ? 0 : 1;
    }

    int rc = 0;
    SERVICE_STATUS status;
    if (strcmp(verb, "query") == 0) {
        if (QueryServiceStatus(service, &status)) {
            printf("STATE %lu ACCEPTS %lu\n", status.dwCurrentState, status.dwControlsAccepted);
        } else {
            printf("ER %lu\n", GetLastError());
            rc = 1;
        }
    } else if (strcmp(verb, "watch") == 0) {
        rc = Watch(service, GetTickCount(), watchMs, 0);
    } else if (strcmp(verb, "pause") == 0 || strcmp(verb, "continue") == 0 || strcmp(verb, "stop") == 0) {
        DWORD control = strcmp(verb, "pause") == 0      ? SERVICE_CONTROL_PAUSE
                        : strcmp(verb, "continue") == 0 ? SERVICE_CONTROL_CONTINUE
                                                         : SERVICE_CONTROL_STOP;
        DWORD start = GetTickCount();
        if (ControlService(service, control, &status)) {
            printf("OK %lu\n", status.dwCurrentState);
            fflush(stdout);
            if (watchMs > 0) rc = Watch(service, start, watchMs, 0);
        } else {
            printf("ER %lu\n", GetLastError());
            rc = 1;
        }
    } else if (strcmp(verb, "remove") == 0) {
        if (QueryServiceStatus(service, &status) && status.dwCurrentState != SERVICE_STOPPED) {
            ControlService(service, SERVICE_CONTROL_STOP, &status);
            for (int i = 0; i < 300; ++i) {
                if (!QueryServiceStatus(service, &status) || status.dwCurrentState == SERVICE_STOPPED) break;
                Sleep(100);
            }
        }
        DWORD error = DeleteService(service) ? 0 : GetLastError();
        CloseServiceHandle(service);
        service = NULL;
        if (error == 0 || error == ERROR_SERVICE_MARKED_FOR_DELETE) {
            /* The manager drops a deleted service only once every handle to it is closed,
             * the stopping service process's own included; until then a new install fails. */
            for (int i = 0; i < 300; ++i) {
                SC_HANDLE again = OpenServiceA(manager, name, SERVICE_QUERY_STATUS);
                if (again == NULL) break;
                CloseServiceHandle(again);
                Sleep(100);
            }
            printf("REMOVED\n");
        } else {
            printf("ER %lu\n", error);
            rc = 1;
        }
    } else {
        fprintf(stderr, "unknown verb %s\n", verb);
        rc = 2;
    }
    if (service != NULL) CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return rc;
}
