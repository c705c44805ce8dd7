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
Started started[MAX_STARTED];

HANDLE worker_job = nullptr;

Started* find_started(ProgramId id)
{
    for (Started& s : started)
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
    if (worker_job != nullptr) return worker_job;
    HANDLE job = CreateJobObjectW(nullptr, nullptr);
    if (job == nullptr) return nullptr;
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits);
    worker_job = job;
    return job;
}

ProgramEnd collect(Started& s)
{
    DWORD code = 0;
    GetExitCodeProcess(s.process, &code);
    CloseHandle(s.process);
    s = Started();
    // Ended by stop_program or by an exception (0xC...), as by a signal.
    return code == 128 + SIGNAL_TERMINATE || code >= 0xC0000000u ? PROGRAM_KILLED : PROGRAM_EXITED;
}

// The stop-signal state: the handler, the main thread to hold while it
// runs, and the hold of hold_stop_signals.
void (*volatile stop_handler)(int) = nullptr;
HANDLE main_thread = nullptr;
CRITICAL_SECTION hold_section;
bool console_handler_installed = false;

BOOL WINAPI on_console_event(DWORD event)
{
    const int sig = event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT ? SIGNAL_INTERRUPT : SIGNAL_HANGUP;
    // Waits while a clean-up holds the stop signals back.
    EnterCriticalSection(&hold_section);
    void (*handler)(int) = stop_handler;
    if (handler != nullptr) {
        // The main thread stays where it is while the handler runs, as a
        // Linux process does while its signal handler runs.
        if (main_thread != nullptr) SuspendThread(main_thread);
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
        if (started[i].process == nullptr) slot = i;
    if (slot < 0) {
        error_text = "too many programs started";
        return NO_PROGRAM;
    }
    std::wstring line;
    for (const std::string& a : args) append_argument(line, wide_text(a));
    const std::wstring program = wide_text(path);

    // The standard streams are this process's; no other handle is inherited
    // (the program's own handles are never inheritable).
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION info = {};
    std::wstring command_line = line;
    // Suspended until it is in the job, so that it cannot outlive this
    // process even for a moment.
    if (!CreateProcessW(program.c_str(), &command_line[0], nullptr, nullptr, TRUE, CREATE_SUSPENDED, nullptr,
                        nullptr, &startup, &info)) {
        error_text = system_message(GetLastError());
        return NO_PROGRAM;
    }
    HANDLE job = job_for_workers();
    if (job == nullptr || !AssignProcessToJobObject(job, info.hProcess)) {
        const DWORD error = GetLastError();
        TerminateProcess(info.hProcess, 1);
        CloseHandle(info.hThread);
        CloseHandle(info.hProcess);
        error_text = "cannot tie the task to this process: " + system_message(error);
        return NO_PROGRAM;
    }
    ResumeThread(info.hThread);
    CloseHandle(info.hThread);
    started[slot].id = static_cast<ProgramId>(info.dwProcessId);
    started[slot].process = info.hProcess;
    return started[slot].id;
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
    // The master's job object ends its workers with it.
}

void catch_stop_signals(void (*handler)(int))
{
    if (!console_handler_installed) {
        InitializeCriticalSection(&hold_section);
        DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &main_thread, 0, FALSE,
                        DUPLICATE_SAME_ACCESS);
        // A process started with Ctrl-C ignored (a background start) keeps
        // ignoring it: the flag is inherited and read here.
        SetConsoleCtrlHandler(on_console_event, TRUE);
        console_handler_installed = true;
    }
    stop_handler = handler;
}

void hold_stop_signals(bool hold)
{
    if (!console_handler_installed) return;
    if (hold) {
        EnterCriticalSection(&hold_section);
    } else {
        LeaveCriticalSection(&hold_section);
    }
}

void end_by_signal(int sig)
{
    // TerminateProcess runs no clean-up that could wait for the held main
    // thread; the exit code is the one a Linux shell gives the signal.
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(128 + sig));
}

void pause_between_polls() { SwitchToThread(); }

void pause_longer_between_polls() { Sleep(1); }
