// The publisher's own commands (publish's upload command): read as a POSIX
// shell reads one simple command, and run without a shell, in a process
// group of their own that never outlives the tool.
#pragma once

#include <string>
#include <utility>
#include <vector>

struct Command {
    std::vector<std::string> assignments; // NAME=value words before the program
    std::vector<std::string> words;       // the program and its arguments
};

// The placeholders of a command and what each stands for.
typedef std::vector<std::pair<std::string, std::string>> Placeholders;

// Splits `text` into `command` as a POSIX shell splits one simple command:
// blanks separate words; single quotes keep what they hold; double quotes
// too, but for a backslash before $ ` " \ or a line end; outside quotes a
// backslash quotes the next character, and a backslash before a line end
// joins the lines. Unquoted NAME=value words before the program's name
// (NAME as [A-Za-z_][A-Za-z0-9_]*) set its environment. There are no
// expansions, so what a shell would read otherwise is refused unless
// quoted: $ ` | & ; < > ( ) * ? [, # or ~ at the start of a word, and a
// line end (a second command). Returns "", or what is wrong: also for a
// command that names no program.
std::string split_command(const std::string &text, Command *command);

// `command` with each placeholder replaced in its words and in the values
// of its assignments, in one pass: what a placeholder brings is never read
// for placeholders again.
Command filled(const Command &command, const Placeholders &placeholders);

// `command` as reports show it: each word as a shell would read it back,
// escaped, and each assignment as NAME=… (its value may be a secret).
std::string shown_command(const Command &command);

// Where the program of `command` is, as the tool finds it to run it: a
// name with a slash as it is, any other on PATH (the assignment's PATH,
// if it sets one). "" when there is no such program.
std::string find_program(const Command &command);

// From now on SIGINT, SIGTERM and SIGHUP to the tool end the running
// command's process group, then the tool. A signal that was ignored when
// the tool started stays ignored (as under nohup).
void end_commands_with_the_tool();

// Runs `command` with no shell, in a process group of its own, for at
// most `seconds`; then, when it stops, or when the tool ends however it
// ends, its whole group is ended, children included. It gets no terminal:
// its standard input is /dev/null (a prompt would stop it), and what it
// writes goes through a pipe that the tool copies to its own standard
// error. Returns "" when it exited with 0, else what happened.
std::string run_command(const Command &command, long seconds);
