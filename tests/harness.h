// Shared test fixtures: a clean decoder, captured console output, temporary
// directories, and running the real program on generated audio.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "mptgen.h"

// ---- in-process ------------------------------------------------------------

// Put every process-wide variable of the decoder back to its start value,
// as a freshly started program has it (settings at their defaults, log
// closed, identity 0xffff), with the console going to a temporary file.
void reset_decoder();

// Everything written to the console since reset_decoder() or the last call.
std::string console_output();

// Feed bits to the decoder entry one at a time.
void feed_bits(const gen_bits_t& bits);
void feed_words(const std::vector<unsigned short>& words);  // 16 bits per word, MSB first

// ---- files and directories -------------------------------------------------

// A fresh empty directory, removed with its contents when the object goes.
struct temp_dir_t {
    std::string path;
    temp_dir_t();
    ~temp_dir_t();
    std::string file(const std::string& name) const { return path + "/" + name; }
};

// The current directory changed for as long as the object lives: the
// settings file and the log are looked for there.
struct in_dir_t {
    std::string home;
    explicit in_dir_t(const std::string& dir);
    ~in_dir_t();
};

std::string read_file(const std::string& path);
std::vector<std::string> lines_of(const std::string& text);
void write_file(const std::string& path, const std::string& content);

// Replace every ctime text ("Mon Dec  7 05:52:19 2026", or "Mon Dec 07 ..." as
// the Windows C library writes it) with "<TIME>".
std::string mask_times(const std::string& text);

// Text with its carriage returns taken out: what a C library writing in
// text mode on Windows turns into CR LF, read as LF.
std::string without_cr(const std::string& text);

// ---- the real program ------------------------------------------------------

struct run_result_t {
    int status = -1;  // exit status (its low 8 bits on Windows), or 128 + signal
    std::string out, err;
};

// Run a program with arguments in a directory, feeding stdin_data, and wait
// for it (killed after timeout_s seconds).
run_result_t run_program(const std::string& program, const std::vector<std::string>& args,
                         const std::string& dir, const std::string& stdin_data = "",
                         int timeout_s = 60);

// The words to exec for a program and its arguments: the cross-built
// marrowit and mptgen run on the build machine through the build's emulator.
std::vector<std::string> command_line(const std::string& program,
                                      const std::vector<std::string>& args);

// POSIX only, in a forked child: change to dir (unless empty) and exec argv
// (a program's path, or a name looked up in PATH); exits with 126 when the
// folder cannot be entered, 127 when the program cannot be run.
[[noreturn]] void exec_child(const std::string& dir, const std::vector<std::string>& argv);

// POSIX only: the same, with no input, while meanwhile(pid) runs on a
// thread of its own (it may signal the program); both are waited for.
run_result_t run_program_meanwhile(const std::string& program, const std::vector<std::string>& args,
                                   const std::string& dir, const std::function<void(int pid)>& meanwhile,
                                   int timeout_s = 60);

// POSIX only: the names in a folder, the hidden ones aside, sorted.
std::vector<std::string> files_in(const std::string& dir);

// build/marrowit and build/tools/mptgen.
const std::string& marrowit_path();
const std::string& mptgen_path();

// Render a generator script as unsigned 8-bit samples at 10800 Hz (or as
// the options say).
std::string render_u8(const std::string& script, const gen_audio_t& opt = gen_audio_t());
