#include "notify/notification_process.h"

#include "common/scoped_handle.h"

namespace {

// A job that ends every process in it when its last handle goes: a notification's tree
// never outlives its time limit, nor the service.
ScopedKernelHandle MakeKillOnCloseJob() {
    ScopedKernelHandle job(CreateJobObjectA(nullptr, nullptr));
    if (!job.IsValid()) return job;
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (!SetInformationJobObject(job.Get(), JobObjectExtendedLimitInformation, &limits, sizeof(limits))) {
        job.Close();
    }
    return job;
}

}  // namespace

NotificationOutcome RunNotificationProcess(const std::string& commandLine, std::vector<char>& environment,
                                           int32_t timeLimitSeconds) {
    NotificationOutcome outcome;
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    // CreateProcessA may write into the command line, so it gets a private copy.
    std::vector<char> writableCommand(commandLine.c_str(), commandLine.c_str() + commandLine.size() + 1);
    PROCESS_INFORMATION created = {};
    // Suspended until it is in the job, so that nothing it starts escapes the time limit.
    const BOOL started = CreateProcessA(nullptr, writableCommand.data(), nullptr, nullptr, FALSE,
                                        CREATE_NO_WINDOW | CREATE_SUSPENDED, environment.data(), nullptr,
                                        &startup, &created);
    if (!started) {
        outcome.Error = GetLastError();
        return outcome;
    }
    ScopedKernelHandle process(created.hProcess);
    ScopedKernelHandle thread(created.hThread);
    ScopedKernelHandle job = MakeKillOnCloseJob();
    if (job.IsValid() && !AssignProcessToJobObject(job.Get(), process.Get())) job.Close();
    ResumeThread(thread.Get());

    const DWORD limitMs = timeLimitSeconds > 0 ? static_cast<DWORD>(timeLimitSeconds) * 1000 : 0;
    if (WaitForSingleObject(process.Get(), limitMs) == WAIT_OBJECT_0) {
        outcome.End = NotificationEnd::Exited;
        GetExitCodeProcess(process.Get(), &outcome.ExitCode);
        return outcome;  // what it left running goes with the job
    }
    outcome.End = NotificationEnd::TimedOut;
    if (!job.IsValid() || !TerminateJobObject(job.Get(), 1)) TerminateProcess(process.Get(), 1);
    WaitForSingleObject(process.Get(), 5000);
    return outcome;
}
