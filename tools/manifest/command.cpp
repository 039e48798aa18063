// The publisher's own commands (command.h).
//
// A command runs in a process group of its own, so that its children can
// be ended with it. That group's leader is a small reaper process, forked
// from the tool, which holds the read end of a pipe whose write end only
// the tool holds. When the tool ends, however it ends (SIGKILL included),
// the kernel closes that end; the reaper then reads the end of the pipe and
// ends its whole group. PR_SET_PDEATHSIG would reach the command alone,
// not its children. The reaper is in none of the tool's process groups, so
// a signal to the tool's group (`timeout -s KILL`, a terminal's Ctrl-C)
// does not end it before it has done its work.

#include "command.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "manifest_json.h"

extern char **environ;

namespace {

// Bytes that need no quoting for a shell.
const char *const PLAIN_BYTES =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789._~/-@:=,+%";
const char *const NAME_START = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz_";
const char *const NAME_BYTES = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz_0123456789";
// What a shell would expand, redirect or end the command at.
const char *const SPECIAL = "$`|&;<>()*?[";
const int ENDING_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP};

// The process group of the running command (its reaper's process id), or
// 0 when none runs.
volatile sig_atomic_t running_group;

void end_running_group(int signal_number)
{
    if (running_group > 0)
        kill(-running_group, SIGKILL);
    signal(signal_number, SIG_DFL);
    raise(signal_number);
}

// `word` as a shell would read it back: as it is when it holds only bytes
// that need no quoting, otherwise in single quotes; escaped for the report.
std::string shown_word(const std::string &word)
{
    if (!word.empty() && word.find_first_not_of(PLAIN_BYTES) == std::string::npos)
        return escaped(word);
    std::string quoted = "'";
    for (char c : word)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return escaped(quoted + "'");
}

// `text` with each placeholder replaced, in one pass.
std::string fill(const std::string &text, const Placeholders &placeholders)
{
    std::string out;
    for (size_t at = 0; at < text.size();) {
        const std::pair<std::string, std::string> *found = nullptr;
        for (const auto &placeholder : placeholders)
            if (text.compare(at, placeholder.first.size(), placeholder.first) == 0)
                found = &placeholder;
        out += found == nullptr ? text.substr(at, 1) : found->second;
        at += found == nullptr ? 1 : found->first.size();
    }
    return out;
}

// The environment of `command`: the tool's, with its assignments made.
std::vector<std::string> environment(const Command &command)
{
    std::vector<std::string> entries;
    for (char **entry = environ; *entry != nullptr; entry++) {
        std::string text = *entry;
        bool replaced = false;
        for (const std::string &assignment : command.assignments)
            replaced = replaced ||
                       text.compare(0, assignment.find('=') + 1, assignment, 0,
                                    assignment.find('=') + 1) == 0;
        if (!replaced)
            entries.push_back(text);
    }
    entries.insert(entries.end(), command.assignments.begin(), command.assignments.end());
    return entries;
}

std::vector<char *> pointers(std::vector<std::string> &texts)
{
    std::vector<char *> out;
    for (std::string &text : texts)
        out.push_back(text.data());
    out.push_back(nullptr);
    return out;
}

// Copies what the command wrote to `output` to standard error, waiting up
// to `milliseconds` for it (as long when no one writes to it any more).
void copy_output(int output, int milliseconds)
{
    struct pollfd ready = {output, POLLIN, 0};
    char buffer[4096];
    ssize_t got = poll(&ready, 1, milliseconds) > 0 ? read(output, buffer, sizeof buffer) : -1;
    if (got > 0)
        fwrite(buffer, 1, (size_t)got, stderr);
    else if (got == 0)
        usleep((useconds_t)milliseconds * 1000);
}

// The reaper, in a process group of its own, which it leads: it waits for
// the end of the pipe `link`, then ends its whole group, itself included.
[[noreturn]] void reap_when_the_tool_ends(int link)
{
    for (int signal_number : ENDING_SIGNALS)
        signal(signal_number, SIG_DFL);
    // A group that the tool's end orphans gets SIGHUP if one of it stopped.
    signal(SIGHUP, SIG_IGN);
    char byte;
    ssize_t got;
    do
        got = read(link, &byte, 1);
    while (got > 0 || (got < 0 && errno == EINTR));
    kill(0, SIGKILL);
    _exit(0);
}

} // namespace

std::string split_command(const std::string &text, Command *command)
{
    *command = Command();
    std::string word;
    bool in_word = false;
    // Whether the word so far is an unquoted name, and then where its
    // first unquoted '=' stands.
    bool name_so_far = true;
    size_t equals = std::string::npos;
    auto end_word = [&]() {
        bool assignment = equals != std::string::npos && command->words.empty();
        (assignment ? command->assignments : command->words).push_back(word);
        word.clear();
        in_word = false;
        name_so_far = true;
        equals = std::string::npos;
    };
    for (size_t i = 0; i < text.size(); i++) {
        char c = text[i];
        bool last = i + 1 == text.size();
        bool literal = false;
        if (c == '\\' && !last && text[i + 1] == '\n') {
            i++;
            continue;
        }
        if (c == '\n')
            return "holds a line break outside quotes, which a shell would read as a second "
                   "command; quote it, or end the line with a backslash";
        if (c == ' ' || c == '\t') {
            if (in_word)
                end_word();
            continue;
        }
        if (c == '\'') {
            size_t end = text.find('\'', i + 1);
            if (end == std::string::npos)
                return "has a single quote that does not end";
            word += text.substr(i + 1, end - i - 1);
            i = end;
        } else if (c == '"') {
            for (i++; i < text.size() && text[i] != '"'; i++) {
                char next = i + 1 < text.size() ? text[i + 1] : 0;
                if (text[i] == '\\' && next == '\n')
                    i++;
                else if (text[i] == '\\' && next != 0 && strchr("$`\"\\", next) != nullptr)
                    word += text[++i];
                else if (strchr("$`", text[i]) != nullptr)
                    return std::string("holds ") + text[i] + " in double quotes, which a shell "
                           "would expand; put it in single quotes";
                else
                    word += text[i];
            }
            if (i == text.size())
                return "has a double quote that does not end";
        } else if (c == '\\') {
            if (last)
                return "ends with a backslash";
            word += text[++i];
        } else if (strchr(SPECIAL, c) != nullptr || (!in_word && (c == '#' || c == '~'))) {
            return std::string("holds ") + c + ", which a shell would read otherwise; quote it";
        } else {
            literal = true;
        }
        // An assignment's name is unquoted: NAME=, with nothing quoted
        // before the '='.
        if (literal && c == '=' && name_so_far && equals == std::string::npos && !word.empty())
            equals = word.size();
        else if (equals == std::string::npos)
            name_so_far = literal && strchr(word.empty() ? NAME_START : NAME_BYTES, c) != nullptr &&
                          name_so_far;
        if (literal)
            word += c;
        in_word = true;
    }
    if (in_word)
        end_word();
    if (command->words.empty())
        return command->assignments.empty() ? "is empty"
                                             : "only sets variables: it names no program";
    return "";
}

Command filled(const Command &command, const Placeholders &placeholders)
{
    Command out;
    for (const std::string &assignment : command.assignments) {
        size_t equals = assignment.find('=');
        out.assignments.push_back(assignment.substr(0, equals + 1) +
                                  fill(assignment.substr(equals + 1), placeholders));
    }
    for (const std::string &word : command.words)
        out.words.push_back(fill(word, placeholders));
    return out;
}

std::string shown_command(const Command &command)
{
    std::string shown;
    for (const std::string &assignment : command.assignments)
        shown += escaped(assignment.substr(0, assignment.find('=') + 1)) + "\u2026 ";
    for (const std::string &word : command.words)
        shown += shown_word(word) + " ";
    return shown.substr(0, shown.size() - 1);
}

std::string find_program(const Command &command)
{
    const std::string &name = command.words.at(0);
    struct stat info;
    if (name.find('/') != std::string::npos)
        return access(name.c_str(), X_OK) == 0 ? name : "";
    const char *inherited = getenv("PATH");
    std::string path = inherited != nullptr ? inherited : "/bin:/usr/bin";
    for (const std::string &assignment : command.assignments)
        if (assignment.compare(0, 5, "PATH=") == 0)
            path = assignment.substr(5);
    for (size_t start = 0; start <= path.size();) {
        size_t end = path.find(':', start);
        if (end == std::string::npos)
            end = path.size();
        std::string folder = path.substr(start, end - start);
        std::string candidate = (folder.empty() ? "." : folder) + "/" + name;
        if (stat(candidate.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
            access(candidate.c_str(), X_OK) == 0)
            return candidate;
        start = end + 1;
    }
    return "";
}

void end_commands_with_the_tool()
{
    for (int signal_number : ENDING_SIGNALS) {
        struct sigaction before;
        if (sigaction(signal_number, nullptr, &before) == 0 && before.sa_handler != SIG_IGN)
            signal(signal_number, end_running_group);
    }
}

std::string run_command(const Command &command, long seconds)
{
    std::string program = find_program(command);
    std::vector<std::string> arguments = command.words, variables = environment(command);
    std::vector<char *> argv = pointers(arguments), envp = pointers(variables);
    int link[2], output[2];
    if (program.empty())
        return "cannot start it: " + escaped(command.words[0]) + " is not found on PATH";
    if (pipe2(link, O_CLOEXEC) != 0)
        return "cannot start it: " + std::string(strerror(errno));
    // Its output goes through a pipe, never to a terminal: a tool that
    // pages or asks when its output is a terminal runs as it does in CI.
    if (pipe2(output, O_CLOEXEC) != 0) {
        close(link[0]);
        close(link[1]);
        return "cannot start it: " + std::string(strerror(errno));
    }
    fflush(stdout);
    fflush(stderr);
    pid_t reaper = fork();
    if (reaper == 0) {
        close(link[1]);
        close(output[0]);
        close(output[1]);
        setpgid(0, 0);
        reap_when_the_tool_ends(link[0]);
    }
    close(link[0]);
    pid_t child = -1;
    if (reaper > 0) {
        setpgid(reaper, reaper);
        running_group = reaper;
        child = fork();
    }
    if (child == 0) {
        setpgid(0, reaper);
        int nothing = open("/dev/null", O_RDONLY);
        if (nothing >= 0)
            dup2(nothing, 0);
        dup2(output[1], 1);
        dup2(output[1], 2);
        execve(program.c_str(), argv.data(), envp.data());
        fprintf(stderr, "tarvik-manifest: cannot run %s: %s\n", program.c_str(), strerror(errno));
        _exit(127);
    }
    close(output[1]);
    std::string fault;
    int status = 0;
    pid_t done = 0;
    if (child < 0) {
        fault = "cannot start it: " + std::string(strerror(errno));
    } else {
        setpgid(child, reaper);
        for (time_t deadline = time(nullptr) + seconds;
             (done = waitpid(child, &status, WNOHANG | WUNTRACED)) == 0 &&
             time(nullptr) < deadline;)
            copy_output(output[0], 100);
        if (done == 0 || (done > 0 && WIFSTOPPED(status))) {
            fault = done == 0 ? "it ran out of its " + std::to_string(seconds) + " s"
                              : "it stopped, as if it waited for the terminal";
            fault += ", and was ended";
            kill(-reaper, SIGKILL);
            waitpid(child, &status, 0);
        } else if (done < 0) {
            fault = "cannot wait for it: " + std::string(strerror(errno));
        } else if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            fault = WIFEXITED(status) ? "it exited with " + std::to_string(WEXITSTATUS(status))
                                      : "it was ended by signal " +
                                            std::to_string(WTERMSIG(status));
        }
    }
    // The reaper ends what is left of the group: children that the
    // command left running.
    close(link[1]);
    if (reaper > 0)
        waitpid(reaper, nullptr, 0);
    running_group = 0;
    // What the group wrote before it ended: nobody writes any more.
    fcntl(output[0], F_SETFL, O_NONBLOCK);
    char buffer[4096];
    for (ssize_t got; (got = read(output[0], buffer, sizeof buffer)) > 0;)
        fwrite(buffer, 1, (size_t)got, stderr);
    close(output[0]);
    return fault;
}
