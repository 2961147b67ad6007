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
// Runs it with standard input and error on a new controlling terminal of
// `columns` columns, `typed` typed on it; err is all that the terminal showed
// (standard error and the echo, line ends "\r\n"), out standard output.
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

// An RGB display profile whose only tag is its description: v2 'desc' text
// or a v4 'mluc' string (ASCII descriptions only).
std::string icc_profile_with(const std::string &description, bool v4 = false);

// Limits the address space to what is mapped now plus extra bytes, as tight
// as 32-bit x86 may be; extra < 0 lifts the limit.
void limit_address_space(int64_t extra);
