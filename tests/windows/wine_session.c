/* Keeps a Wine session usable while the suites run under an emulated 32-bit Wine.
 *
 * The first program of a wineserver starts the prefix's boot helper and every later program waits
 * for the helper's named event before its main(). Under qemu-i386 that helper dies before it sets
 * the event, so every later start would wait the full time-out (five minutes). This program is
 * started first: it sets the event itself and stays alive, holding the event and the wineserver,
 * until its standard input closes (or after MAX_SECONDS, so that it can never outlive a run that
 * forgot it). It prints "ready" once the event is set.
 */
#include <stdio.h>
#include <windows.h>

#define MAX_SECONDS (6 * 60 * 60)

static DWORD WINAPI wait_for_eof(void *arg) {
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    char buffer[256];
    DWORD got = 0;
    (void)arg;
    while (in != INVALID_HANDLE_VALUE && in != NULL && ReadFile(in, buffer, sizeof buffer, &got, NULL) && got > 0) {
    }
    return 0;
}

int main(void) {
    HANDLE event = CreateEventW(NULL, TRUE, FALSE, L"__wineboot_event");
    HANDLE reader;
    if (event == NULL) {
        fprintf(stderr, "wine_session: cannot create the boot event (%lu)\n", GetLastError());
        return 1;
    }
    SetEvent(event);
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
