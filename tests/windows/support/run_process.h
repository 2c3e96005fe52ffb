/*
** Starting programs from a Windows-side test the way a user's program
** would: an exact command line for CreateProcessW, a chosen environment, and
** standard output and error captured in files.
*/
#ifndef ONEFILE_TEST_RUN_PROCESS_H
#define ONEFILE_TEST_RUN_PROCESS_H

#include <gtest/gtest.h>
#include <windows.h>

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

struct process_options {
    std::wstring application;           /* empty: taken from the command line */
    std::wstring command_line;
    /* Changes to the test's own environment: a value, or nullopt to remove. */
    std::map<std::wstring, std::optional<std::wstring>> environment;
    std::wstring current_directory;     /* empty: the test's */
    DWORD timeout_ms = 120000;
    /* Standard input: NUL, or a pipe that delivers this text and ends; with
    ** keep_input_open the pipe's writing end is left to the test. */
    std::optional<std::string> input;
    bool keep_input_open = false;
    HANDLE job = NULL;                  /* a job to start the program in */
    /* A C runtime's descriptor block (STARTUPINFOW.lpReserved2), as is. */
    std::string runtime_descriptors;
    /* Called with the process id while the program is created suspended,
    ** before it runs: to plant something at a name the id makes. */
    std::function<void(DWORD)> before_running;
};

struct process_result {
    DWORD exit_code = 0;
    bool timed_out = false;
    std::string out;                    /* standard output, CR LF as written */
    std::string err;
};

/* Runs the program to its end (or kills it after the timeout). */
process_result run_process(const process_options &options);

/* A started program that the test controls while it runs. */
struct running_process {
    HANDLE process = NULL;
    DWORD id = 0;
    std::wstring out_path;
    std::wstring err_path;
    HANDLE input = NULL;                /* the pipe's writing end, kept open */
};

running_process start_process(const process_options &options);
process_result finish_process(running_process &running, DWORD timeout_ms);

/* A fresh, empty folder for one test, below the build's scratch folder,
** with a private temporary folder "temp" inside. */
std::wstring make_scratch_folder(const std::wstring &name);

/* The test's own scratch folder, named after the running test. */
std::wstring test_scratch_folder();

/* A fixture in the test's scratch folder, with the private temporary folder
** "temp" and the path of the executable it makes there. */
template <class base = testing::Test>
class in_scratch_folder : public base {
protected:
    std::wstring folder = test_scratch_folder();
    std::wstring temp = folder + L"\\temp";
    std::wstring executable = folder + L"\\app.exe";
};

/* Environment changes that give a started program `folder` as TMP and TEMP. */
void use_temp_folder(process_options &options, const std::wstring &folder);
/* A start as a user's: TMP and TEMP set to `temp` (when not empty), and none
** of the variables by which a bootstrap would take itself for a re-launched
** copy or a child of another start. */
void as_fresh_start(process_options &options, const std::wstring &temp);

/* Quotes one argument the way the system's argument splitting reads it back. */
std::wstring quote_argument(const std::wstring &argument);

std::wstring utf16(const std::string &utf8);
std::string utf8(const std::wstring &utf16);

/* Files and folders. */
bool path_exists(const std::wstring &path);
bool is_directory(const std::wstring &path);
std::string read_file(const std::wstring &path);
void write_file(const std::wstring &path, const std::string &content);
/* Calls `visit` with the relative path ('\' separators) and the listing of
** every file and folder below `folder`, each folder before its content. */
typedef std::function<void(const std::wstring &, const WIN32_FIND_DATAW &)> tree_visitor;
void walk_tree(const std::wstring &folder, const tree_visitor &visit, const std::wstring &prefix = L"");
/* Relative paths of every file below folder, sorted, with '\' separators. */
std::vector<std::wstring> list_files(const std::wstring &folder);
/* Names of the entries directly in folder, sorted. */
std::vector<std::wstring> list_folder(const std::wstring &folder);
void remove_tree(const std::wstring &path);

/* key=value lines written by the probe application, escapes undone. */
std::map<std::string, std::string> read_report(const std::wstring &path);

/* Waits until the file exists; false after timeout_ms. */
bool wait_for_file(const std::wstring &path, DWORD timeout_ms);

/* Wine only: runs a Unix program to its end, through Wine's own way of
** starting one; false when it fails or where there is none (Windows). */
bool run_unix(std::vector<std::string> arguments);

/* Wine only: the Unix path of a Windows path; empty on Windows. */
std::string unix_path(const std::wstring &path);

/* This process's environment with `options.environment` applied, as a
** CREATE_UNICODE_ENVIRONMENT block. */
std::wstring environment_block(const process_options &options);

#endif
