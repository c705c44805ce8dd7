// Windows side of platform/process.h. Workers start with CreateProcessW (the
// process handle is kept, so that the master tells a dead worker as on
// Linux) inside a job object that kills them when the master's last handle
// to it closes, that is when the master ends in any way. A console control
// event (Ctrl-C, Ctrl-Break, a closed console) arrives on a thread of its
// own: that thread holds the main thread still, runs the handler and ends
// the process with 128 + the signal's number, the code a shell reports for
// a Linux process ended by that signal.
#include "platform/process.h"

#include <cstring>

#include "platform/windows_support.h"

#include <tlhelp32.h>

namespace {

// The signal numbers of Linux, for the same exit codes on both systems.
constexpr int SIGNAL_HANGUP = 1;
constexpr int SIGNAL_INTERRUPT = 2;
constexpr int SIGNAL_TERMINATE = 15;

struct Started {
    ProgramId id = NO_PROGRAM;
    HANDLE process = nullptr;
};
constexpr int MAX_STARTED = 256;

// The programs this process started, and the job object that ends them with
// it. Windows keeps no table of a process's children that could be asked by
// process id, so this file keeps one.
struct StartedPrograms {
    Started started[MAX_STARTED];
    HANDLE job = nullptr;
};
StartedPrograms programs;

Started* find_started(ProgramId id)
{
    for (Started& s : programs.started)
        if (s.id == id && s.process != nullptr) return &s;
    return nullptr;
}

// One argument quoted as CommandLineToArgvW and the C runtime read it back.
void append_argument(std::wstring& line, const std::wstring& arg)
{
    if (!line.empty()) line += L' ';
    if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
        line += arg;
        return;
    }
    line += L'"';
    size_t backslashes = 0;
    for (wchar_t c : arg) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        if (c == L'"') {
            line.append(backslashes * 2 + 1, L'\\');
        } else {
            line.append(backslashes, L'\\');
        }
        backslashes = 0;
        line += c;
    }
    line.append(backslashes * 2, L'\\');
    line += L'"';
}

std::wstring wide_text(const std::string& text)
{
    if (text.empty()) return std::wstring();
    const int n = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(n > 0 ? n : 0), L'\0');
    if (n > 0) MultiByteToWideChar(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), &out[0], n);
    return out;
}

std::string system_message(DWORD error)
{
    char text[256] = {};
    if (FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0, text,
                       sizeof text, nullptr) == 0)
        return "system error " + std::to_string(error);
    std::string message = text;
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == '.'))
        message.pop_back();
    return message;
}

HANDLE job_for_workers()
{
    if (programs.job != nullptr) return programs.job;
    HANDLE job = CreateJobObjectW(nullptr, nullptr);
    if (job == nullptr) return nullptr;
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits);
    programs.job = job;
    return job;
}

ProgramEnd collect(Started& s)
{
    DWORD code = 0;
    GetExitCodeProcess(s.process, &code);
    CloseHandle(s.process);
    s = Started();
    // Ended as by a signal: by stop_program or a console event (128 + the
    // signal's number, as end_by_signal ends), or by an exception (0xC...).
    return (code > 128 && code <= 128 + 64) || code >= 0xC0000000u ? PROGRAM_KILLED : PROGRAM_EXITED;
}

// The stop-signal state: the handler, the main thread to hold while it
// runs, and the hold of hold_stop_signals.
struct StopSignals {
    void (*volatile handler)(int) = nullptr;
    HANDLE main_thread = nullptr;
    CRITICAL_SECTION hold;
    bool installed = false;
};
StopSignals stops;

BOOL WINAPI on_console_event(DWORD event)
{
    const int sig = event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT ? SIGNAL_INTERRUPT : SIGNAL_HANGUP;
    // Waits while a clean-up holds the stop signals back.
    EnterCriticalSection(&stops.hold);
    void (*handler)(int) = stops.handler;
    if (handler != nullptr) {
        // The main thread stays where it is while the handler runs, as a
        // Linux process does while its signal handler runs.
        if (stops.main_thread != nullptr && SuspendThread(stops.main_thread) != static_cast<DWORD>(-1)) {
            // SuspendThread only asks: reading the thread's context waits
            // until it has stopped, a write it was making included, so
            // that nothing it does lands after the handler's clean-up.
            CONTEXT context = {};
            context.ContextFlags = CONTEXT_CONTROL;
            GetThreadContext(stops.main_thread, &context);
        }
        handler(sig);
    }
    end_by_signal(sig);
    return TRUE;
}

}  // namespace

ProgramId start_program(const char* path, const std::vector<std::string>& args, std::string& error_text)
{
    int slot = -1;
    for (int i = 0; i < MAX_STARTED && slot < 0; ++i)
        if (programs.started[i].process == nullptr) slot = i;
    if (slot < 0) {
        error_text = "too many programs started";
        return NO_PROGRAM;
    }
    std::wstring line;
    for (const std::string& a : args) append_argument(line, wide_text(a));
    const std::wstring program = wide_text(path);

    // The standard streams are this process's; no other handle is inherited
    // (the program's own handles are never inheritable).
    STARTUPINFOEXW startup_ex = {};
    STARTUPINFOW& startup = startup_ex.StartupInfo;
    startup.cb = sizeof startup_ex;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION info = {};
    std::wstring command_line = line;
    HANDLE job = job_for_workers();
    if (job == nullptr) {
        error_text = "cannot make a job object: " + system_message(GetLastError());
        return NO_PROGRAM;
    }
    // A Ctrl-C waits until the new process is in the job and in the table
    // of started programs, where stop_program finds it.
    hold_stop_signals(true);
    // The process is made inside the job (an attribute of its creation), so
    // that no moment passes in which the master could end without it. Where
    // the system cannot do that, it is put into the job right after; not
    // suspended, since a process left suspended by a master killed in
    // between would never end: it waits in stop_with_parent until it is in
    // the job, and ends when its master has gone first.
    SIZE_T list_size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &list_size);
    std::vector<unsigned char> list_bytes(list_size);
    auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(list_bytes.data());
    DWORD flags = 0;
    if (list_size > 0 && InitializeProcThreadAttributeList(list, 1, 0, &list_size)) {
        if (UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_JOB_LIST, &job, sizeof job, nullptr, nullptr)) {
            startup_ex.lpAttributeList = list;
            flags = EXTENDED_STARTUPINFO_PRESENT;
        }
    }
    BOOL created = CreateProcessW(program.c_str(), &command_line[0], nullptr, nullptr, TRUE, flags, nullptr, nullptr,
                                  &startup, &info);
    if (!created && flags != 0) {
        startup.cb = sizeof startup;
        created = CreateProcessW(program.c_str(), &command_line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                                 &startup, &info);
    }
    if (startup_ex.lpAttributeList != nullptr) DeleteProcThreadAttributeList(list);
    if (!created) {
        error_text = system_message(GetLastError());
        hold_stop_signals(false);
        return NO_PROGRAM;
    }
    BOOL in_job = FALSE;
    if ((!IsProcessInJob(info.hProcess, job, &in_job) || !in_job) && !AssignProcessToJobObject(job, info.hProcess)) {
        const DWORD error = GetLastError();
        TerminateProcess(info.hProcess, 1);
        CloseHandle(info.hThread);
        CloseHandle(info.hProcess);
        error_text = "cannot tie the task to this process: " + system_message(error);
        hold_stop_signals(false);
        return NO_PROGRAM;
    }
    CloseHandle(info.hThread);
    programs.started[slot].id = static_cast<ProgramId>(info.dwProcessId);
    programs.started[slot].process = info.hProcess;
    hold_stop_signals(false);
    return programs.started[slot].id;
}

ProgramEnd poll_program(ProgramId id)
{
    Started* s = find_started(id);
    if (s == nullptr) return PROGRAM_EXITED;
    if (WaitForSingleObject(s->process, 0) == WAIT_TIMEOUT) return PROGRAM_RUNNING;
    return collect(*s);
}

ProgramEnd wait_program(ProgramId id)
{
    Started* s = find_started(id);
    if (s == nullptr) return PROGRAM_EXITED;
    WaitForSingleObject(s->process, INFINITE);
    return collect(*s);
}

void stop_program(ProgramId id)
{
    Started* s = find_started(id);
    if (s != nullptr) TerminateProcess(s->process, 128 + SIGNAL_TERMINATE);
}

void stop_with_parent()
{
    // The master's job object ends its workers with it, once the master has
    // put this process into it, right after starting it. Until then the
    // master is watched: gone before that, it ends this process too.
    BOOL in_job = FALSE;
    if (IsProcessInJob(GetCurrentProcess(), nullptr, &in_job) && in_job) return;
    const DWORD self = GetCurrentProcessId();
    DWORD parent_id = 0;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot != INVALID_HANDLE_VALUE) {
        PROCESSENTRY32W entry;
        entry.dwSize = sizeof entry;
        for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry))
            if (entry.th32ProcessID == self) parent_id = entry.th32ParentProcessID;
        CloseHandle(snapshot);
    }
    HANDLE parent = parent_id != 0 ? OpenProcess(SYNCHRONIZE, FALSE, parent_id) : nullptr;
    if (parent == nullptr) TerminateProcess(GetCurrentProcess(), 128 + SIGNAL_TERMINATE);
    // A few seconds at most: a master that cannot put its worker into the
    // job stops it itself.
    for (int waited = 0; waited < 5000; ++waited) {
        if (IsProcessInJob(GetCurrentProcess(), nullptr, &in_job) && in_job) break;
        if (WaitForSingleObject(parent, 1) != WAIT_TIMEOUT) TerminateProcess(GetCurrentProcess(), 128 + SIGNAL_TERMINATE);
    }
    CloseHandle(parent);
}

void catch_stop_signals(void (*handler)(int))
{
    if (!stops.installed) {
        InitializeCriticalSection(&stops.hold);
        DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &stops.main_thread, 0, FALSE,
                        DUPLICATE_SAME_ACCESS);
        // A process started with Ctrl-C ignored (a background start) keeps
        // ignoring it: the flag is inherited and read here.
        SetConsoleCtrlHandler(on_console_event, TRUE);
        stops.installed = true;
    }
    stops.handler = handler;
}

void hold_stop_signals(bool hold)
{
    if (!stops.installed) return;
    if (hold) {
        EnterCriticalSection(&stops.hold);
    } else {
        LeaveCriticalSection(&stops.hold);
    }
}

void end_by_signal(int sig)
{
    // TerminateProcess runs no clean-up that could wait for the held main
    // thread; the exit code is the one a Linux shell gives the signal.
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(128 + sig));
}

void ignore_broken_pipe()
{
    // Windows raises no signal for a pipe that has gone away: the write
    // fails, and the C runtime's output with it, quietly.
}

void pause_microseconds(int microseconds)
{
    // Sleep counts whole milliseconds of a 15.6 ms clock; a waitable timer
    // (high resolution where the system has it) keeps to the microseconds.
#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif
    static HANDLE timer = [] {
        HANDLE t = CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION, TIMER_ALL_ACCESS);
        return t != nullptr ? t : CreateWaitableTimerW(nullptr, TRUE, nullptr);
    }();
    LARGE_INTEGER due;
    due.QuadPart = -10LL * (microseconds > 0 ? microseconds : 1);  // relative, in 100 ns
    if (timer != nullptr && SetWaitableTimer(timer, &due, 0, nullptr, nullptr, FALSE)) {
        WaitForSingleObject(timer, INFINITE);
        return;
    }
    Sleep(static_cast<DWORD>((microseconds + 999) / 1000));
}

// A short moment, kept by the waitable timer (about 1 ms under Wine, whose
// timers tick in milliseconds).
void pause_between_polls() { pause_microseconds(100); }

void pause_longer_between_polls() { pause_microseconds(500); }

void yield_processor() { SwitchToThread(); }
