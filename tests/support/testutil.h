// Helpers shared by the tests: running programs, scratch folders, files.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

struct run_result {
    int status = -1;      // exit status, or 128 + signal
    std::string out, err; // what the program wrote to stdout and stderr
};

// Runs argv[0] (a path) with the arguments, feeding `input` on standard input.
run_result run_program(const std::vector<std::string> &argv, const std::string &input = "",
                       const std::string &cwd = "");
// Runs it with standard input and standard error on a new pseudo-terminal
// of `columns` columns, its controlling terminal; `typed` is typed on it.
// out is standard output (a pipe), err all that the terminal showed: the
// program's standard error and the echo of what was typed, line ends as
// "\r\n".
run_result run_on_terminal(const std::vector<std::string> &argv, const std::string &typed, int columns,
                           const std::string &cwd = "");
// Runs the zenthra program that this build made.
run_result run_zenthra(const std::vector<std::string> &args, const std::string &input = "",
                       const std::string &cwd = "");
// A path to one of the programs under tools/ of this build.
std::string tool_path(const std::string &name);

// A new empty folder under the system's temporary folder, removed when the
// test program ends.
std::string scratch_dir();
void write_file(const std::string &path, const std::string &content);
std::string read_file(const std::string &path);
bool file_exists(const std::string &path);
// The names in a folder, sorted.
std::vector<std::string> folder_names(const std::string &dir);
// -1 when there is no such file.
int64_t file_size(const std::string &path);

// A small ICC profile (an RGB display profile without colour tags) whose only
// tag is its description: as v2 'desc' text, or as a v4 'mluc' string in
// UTF-16 (ASCII descriptions only).
std::string icc_profile_with(const std::string &description, bool v4 = false);

// Lowers this process's address-space limit to what it maps now plus extra
// bytes, so that a larger allocation fails as it may in the address space of
// 32-bit x86; extra < 0 lifts the limit again.
void limit_address_space(int64_t extra);
