// The process around a run on Windows: standard handles the caller did not
// give, and the console events and crashes that end the process, which
// remove the run's unfinished result file first. The POSIX counterpart is
// process_posix.cpp.
#include "fileio/process.hpp"

#include <windows.h>

#include <atomic>
#include <string>

#include "common/messages.hpp"
#include "common/utf16.hpp"

namespace kerrow {
namespace {

// The console handler runs on a thread of its own, beside the main thread:
// the lock keeps them apart. Once the handler holds it, it never lets go,
// so the main thread can no longer close, rename or register anything
// before the process ends. It is recursive, so that a hold can span the
// registrations it changes.
struct removal_lock {
    removal_lock() { ::InitializeCriticalSection(&section); }
    CRITICAL_SECTION section;
} lock;

// An unfinished file: by its handle while it is open (marked for deletion,
// it goes when the handle is closed, which ending the process does), by its
// name from its close to its rename.
struct removal {
    bool armed = false;
    HANDLE file = nullptr;
    std::wstring name;
};
removal removals[2];

std::atomic<int> stage{static_cast<int>(output_stage::nothing_written)};
bool closed_at_start[3] = {false, false, false};

// A line of the catalog, its "\n" made CR LF as the C runtime's text mode
// would: the handler writes to the handle itself.
void say_on_stderr(const char* line) {
    std::size_t n = std::char_traits<char>::length(line);
    const bool ends_line = n > 0 && line[n - 1] == '\n';
    DWORD k = 0;
    const HANDLE err = ::GetStdHandle(STD_ERROR_HANDLE);
    ::WriteFile(err, line, static_cast<DWORD>(ends_line ? n - 1 : n), &k, nullptr);
    if (ends_line) ::WriteFile(err, "\r\n", 2, &k, nullptr);
}

// Removes what is registered and says so; the caller holds the lock.
void remove_and_say(const char* prefix) {
    bool armed = false, removed = true;
    for (removal& r : removals) {
        if (!r.armed) continue;
        armed = true;
        FILE_DISPOSITION_INFO dispose{TRUE};
        const bool gone = r.file != nullptr
                              ? ::SetFileInformationByHandle(r.file, FileDispositionInfo, &dispose, sizeof dispose) != 0
                              : ::DeleteFileW(r.name.c_str()) != 0 || ::GetLastError() == ERROR_FILE_NOT_FOUND;
        removed = removed && gone;
        r.armed = false;
    }
    say_on_stderr(prefix);
    say_on_stderr(what_became_of_the_output(armed, removed, static_cast<output_stage>(stage.load())));
}

BOOL WINAPI on_console_event(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) {
        return FALSE;  // the system's own handling
    }
    ::EnterCriticalSection(&lock.section);
    // The result is in place: the run is done, whatever is still to print.
    if (static_cast<output_stage>(stage.load()) == output_stage::delivered) ::TerminateProcess(::GetCurrentProcess(), 0);
    remove_and_say(message::interrupted);
    // The exit code of the system's own handler. TerminateProcess rather than
    // ExitProcess: no library's exit work then waits for a lock that the
    // main thread may hold. Standard output is unbuffered here, so every
    // line printed is already out.
    ::TerminateProcess(::GetCurrentProcess(), STATUS_CONTROL_C_EXIT);
    return TRUE;
}

// A crash ends the process at once, after the unfinished file is gone:
// Windows Error Reporting, which would write a dump of the whole process
// with its key material, never sees the fault.
LONG WINAPI on_crash(EXCEPTION_POINTERS* info) {
    ::EnterCriticalSection(&lock.section);
    remove_and_say(message::crashed);
    ::TerminateProcess(::GetCurrentProcess(), info != nullptr && info->ExceptionRecord != nullptr
                                                  ? info->ExceptionRecord->ExceptionCode
                                                  : 3);
    return EXCEPTION_EXECUTE_HANDLER;
}

}  // namespace

void note_output_stage(output_stage s) noexcept { stage.store(static_cast<int>(s)); }

int arm_removal(const output_place&, const char* name, const file_id&, file_handle file) noexcept {
    std::wstring wide;
    if (!to_utf16(name, wide)) return -1;
    ::EnterCriticalSection(&lock.section);
    int k = 0;
    for (; k < 2 && removals[k].armed; ++k) {
    }
    if (k < 2) {
        removals[k].name.swap(wide);
        removals[k].file = static_cast<HANDLE>(file);
        removals[k].armed = true;
    }
    ::LeaveCriticalSection(&lock.section);
    return k < 2 ? k : -1;
}

void removal_file_closed(int registration) noexcept {
    if (registration < 0) return;
    ::EnterCriticalSection(&lock.section);
    removals[registration].file = nullptr;
    ::LeaveCriticalSection(&lock.section);
}

void disarm_removal(int& registration) noexcept {
    if (registration >= 0) {
        ::EnterCriticalSection(&lock.section);
        removals[registration].armed = false;
        removals[registration].file = nullptr;
        ::LeaveCriticalSection(&lock.section);
    }
    registration = -1;
}

void hold_interrupts() noexcept { ::EnterCriticalSection(&lock.section); }

void release_interrupts() noexcept { ::LeaveCriticalSection(&lock.section); }

bool standard_stream_was_closed(int which) noexcept { return which >= 0 && which <= 2 && closed_at_start[which]; }

void set_up_process() {
    // No dialog box waits for a user after a crash; the crash handler below
    // ends the process before the system's error reporting dumps it.
    ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    const DWORD standard[] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
    for (int k = 0; k < 3; ++k) {
        const HANDLE h = ::GetStdHandle(standard[k]);
        closed_at_start[k] = h == nullptr || h == INVALID_HANDLE_VALUE;
    }
    ::SetConsoleCtrlHandler(on_console_event, TRUE);
    ::SetUnhandledExceptionFilter(on_crash);
}

}  // namespace kerrow
