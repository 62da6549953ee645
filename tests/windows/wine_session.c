/* Keeps a Wine session usable while the suites run under an emulated 32-bit Wine.
 *
 * Every program Wine starts waits, before its main(), for the boot event (a kernel object) that
 * the prefix's boot program sets when it has finished. Under qemu-i386 that program never gets
 * there, so every start would wait the full time-out, five minutes. This program is started first
 * (it pays that wait once), sets the event itself and stays alive, holding the event and the
 * wineserver, until its standard input closes (or after MAX_SECONDS, so that it can never outlive
 * a run that forgot it). It prints "ready" once the event is set.
 */
#include <stdio.h>
#include <windows.h>
#include <winternl.h>

#define MAX_SECONDS (6 * 60 * 60)

static DWORD WINAPI wait_for_eof(void* arg) {
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    char buffer[256];
    DWORD got = 0;
    (void)arg;
    while (in != INVALID_HANDLE_VALUE && in != NULL &&
           ReadFile(in, buffer, sizeof buffer, &got, NULL) && got > 0) {
    }
    return 0;
}

/* The event lives outside the Win32 namespaces: NtCreateEvent names it in full. */
typedef LONG(NTAPI* NtCreateEventFn)(HANDLE*, ACCESS_MASK, OBJECT_ATTRIBUTES*, int, BOOLEAN);

static HANDLE open_boot_event(void) {
    NtCreateEventFn create = (NtCreateEventFn)(void (*)(void))GetProcAddress(
        GetModuleHandleW(L"ntdll.dll"), "NtCreateEvent");
    UNICODE_STRING name;
    OBJECT_ATTRIBUTES attributes;
    HANDLE event = NULL;
    const int notification_event = 0; /* manual reset */
    if (create == NULL) return NULL;
    RtlInitUnicodeString(&name, L"\\KernelObjects\\__wineboot_event");
    InitializeObjectAttributes(&attributes, &name, OBJ_OPENIF, NULL, NULL);
    if (create(&event, EVENT_ALL_ACCESS, &attributes, notification_event, FALSE) < 0) return NULL;
    return event;
}

int main(void) {
    HANDLE event = open_boot_event();
    HANDLE reader;
    if (event == NULL || !SetEvent(event)) {
        fprintf(stderr, "wine_session: cannot set the boot event (%lu)\n", GetLastError());
        return 1;
    }
    printf("ready\n");
    fflush(stdout);

    reader = CreateThread(NULL, 0, wait_for_eof, NULL, 0, NULL);
    if (reader == NULL) {
        fprintf(stderr, "wine_session: cannot start the input reader (%lu)\n", GetLastError());
        return 1;
    }
    WaitForSingleObject(reader, MAX_SECONDS * 1000u);
    CloseHandle(reader);
    CloseHandle(event);
    return 0;
}
