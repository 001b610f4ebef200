#include "tests/support/ScriptProcess.h"

#include <csignal>
#include <fcntl.h>
#include <QFileInfo>
#include <spawn.h>
#include <stdexcept>
#include <string>
#include <sys/wait.h>
#include <vector>

extern char** environ;

namespace testsupport {

QString HostPath(const QString& APath) {
    return APath;
}

bool HostHasProgram(const QString& AProgram) {
    return QFileInfo(AProgram).isExecutable();
}

struct TScriptProcess::TState {
    pid_t Pid = -1;
};

TScriptProcess::TScriptProcess(const QString& AProgram, const QStringList& AArguments,
                               const QString& ALogFile)
    : FState(new TState) {
    std::vector<std::string> args{AProgram.toStdString()};
    for (const QString& a : AArguments)
        args.push_back(a.toStdString());
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    const std::string log = ALogFile.toStdString();
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    const int rc =
        posix_spawn(&FState->Pid, args[0].c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        delete FState;
        throw std::runtime_error("cannot start " + args[0]);
    }
}

TScriptProcess::~TScriptProcess() {
    Stop();
    delete FState;
}

std::optional<int> TScriptProcess::Reap() {
    int status = 0;
    if (waitpid(FState->Pid, &status, WNOHANG) == FState->Pid)
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return std::nullopt;
}

void TScriptProcess::Signal(bool AKill) {
    kill(FState->Pid, AKill ? SIGKILL : SIGTERM);
}

} // namespace testsupport
