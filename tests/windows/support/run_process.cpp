#include "run_process.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <sstream>

std::wstring utf16(const std::string &text)
{
    int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), (int)text.size(), NULL, 0);
    std::wstring out(size, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), (int)text.size(), &out[0], size);
    return out;
}

std::string utf8(const std::wstring &text)
{
    int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), (int)text.size(), NULL, 0, NULL, NULL);
    std::string out(size, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), (int)text.size(), &out[0], size, NULL, NULL);
    return out;
}

std::wstring quote_argument(const std::wstring &argument)
{
    if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos)
        return argument;
    std::wstring out = L"\"";
    size_t backslashes = 0;
    for (wchar_t c : argument) {
        if (c == L'\\') {
            backslashes++;
            continue;
        }
        out.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
        backslashes = 0;
        out += c;
    }
    out.append(2 * backslashes, L'\\');
    return out + L"\"";
}

std::wstring environment_block(const process_options &options)
{
    std::map<std::wstring, std::wstring, bool (*)(const std::wstring &, const std::wstring &)>
        variables([](const std::wstring &a, const std::wstring &b) {
            return _wcsicmp(a.c_str(), b.c_str()) < 0;
        });
    wchar_t *strings = GetEnvironmentStringsW();
    for (const wchar_t *p = strings; *p; p += wcslen(p) + 1) {
        std::wstring entry(p);
        size_t equals = entry.find(L'=', 1);
        if (equals != std::wstring::npos)
            variables[entry.substr(0, equals)] = entry.substr(equals + 1);
    }
    FreeEnvironmentStringsW(strings);
    for (const auto &change : options.environment) {
        if (change.second)
            variables[change.first] = *change.second;
        else
            variables.erase(change.first);
    }
    std::wstring block;
    for (const auto &variable : variables)
        block += variable.first + L"=" + variable.second + L'\0';
    return block + L'\0';
}

static HANDLE inheritable_file(const std::wstring &path, DWORD access, DWORD disposition)
{
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, NULL, TRUE};
    return CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       &inherit, disposition, FILE_ATTRIBUTE_NORMAL, NULL);
}

static unsigned output_counter;

running_process start_process(const process_options &options)
{
    running_process running;
    wchar_t temp[MAX_PATH + 1];
    GetTempPathW(MAX_PATH + 1, temp);
    unsigned n = ++output_counter;
    running.out_path = std::wstring(temp) + L"onefile-test-" + std::to_wstring(GetCurrentProcessId())
                     + L"-" + std::to_wstring(n) + L".out";
    running.err_path = running.out_path.substr(0, running.out_path.size() - 4) + L".err";

    HANDLE in = NULL;
    HANDLE input_writer = NULL;
    if (options.input) {
        SECURITY_ATTRIBUTES inherit = {sizeof inherit, NULL, TRUE};
        CreatePipe(&in, &input_writer, &inherit, 0);
        SetHandleInformation(input_writer, HANDLE_FLAG_INHERIT, 0);
    } else {
        in = inheritable_file(L"NUL", GENERIC_READ, OPEN_EXISTING);
    }
    HANDLE out = inheritable_file(running.out_path, GENERIC_WRITE, CREATE_ALWAYS);
    HANDLE err = inheritable_file(running.err_path, GENERIC_WRITE, CREATE_ALWAYS);

    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = in;
    startup.hStdOutput = out;
    startup.hStdError = err;
    startup.cbReserved2 = (WORD)options.runtime_descriptors.size();
    startup.lpReserved2 = options.runtime_descriptors.empty()
                              ? NULL
                              : (BYTE *)const_cast<char *>(options.runtime_descriptors.data());

    std::wstring command_line = options.command_line;
    std::wstring environment = environment_block(options);
    PROCESS_INFORMATION created = {};
    BOOL ok = CreateProcessW(options.application.empty() ? NULL : options.application.c_str(),
                             &command_line[0], NULL, NULL, TRUE,
                             CREATE_UNICODE_ENVIRONMENT
                                 | (options.job != NULL || options.before_running ? CREATE_SUSPENDED : 0),
                             &environment[0],
                             options.current_directory.empty() ? NULL
                                                               : options.current_directory.c_str(),
                             &startup, &created);
    CloseHandle(in);
    CloseHandle(out);
    CloseHandle(err);
    if (!ok) {
        ADD_FAILURE() << "CreateProcessW failed with " << GetLastError() << " for "
                      << utf8(options.command_line);
        if (input_writer != NULL)
            CloseHandle(input_writer);
        return running;
    }
    if (options.job != NULL && !AssignProcessToJobObject(options.job, created.hProcess))
        ADD_FAILURE() << "AssignProcessToJobObject failed with " << GetLastError();
    if (options.before_running)
        options.before_running(created.dwProcessId);
    if (options.job != NULL || options.before_running)
        ResumeThread(created.hThread);
    if (input_writer != NULL) {
        /* A program that stops reading early breaks the pipe: not an error here. */
        DWORD written = 0;
        if (!options.input->empty())
            WriteFile(input_writer, options.input->data(), (DWORD)options.input->size(), &written,
                      NULL);
        if (options.keep_input_open)
            running.input = input_writer;
        else
            CloseHandle(input_writer);
    }
    CloseHandle(created.hThread);
    running.process = created.hProcess;
    running.id = created.dwProcessId;
    return running;
}

process_result finish_process(running_process &running, DWORD timeout_ms)
{
    process_result result;
    if (running.input != NULL) {
        CloseHandle(running.input);
        running.input = NULL;
    }
    if (running.process == NULL) {
        result.exit_code = 0xFFFFFFFF;
        return result;
    }
    if (WaitForSingleObject(running.process, timeout_ms) != WAIT_OBJECT_0) {
        result.timed_out = true;
        TerminateProcess(running.process, 0xDEAD);
        WaitForSingleObject(running.process, 10000);
    }
    GetExitCodeProcess(running.process, &result.exit_code);
    CloseHandle(running.process);
    running.process = NULL;
    result.out = read_file(running.out_path);
    result.err = read_file(running.err_path);
    DeleteFileW(running.out_path.c_str());
    DeleteFileW(running.err_path.c_str());
    return result;
}

process_result run_process(const process_options &options)
{
    running_process running = start_process(options);
    return finish_process(running, options.timeout_ms);
}

bool path_exists(const std::wstring &path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool is_directory(const std::wstring &path)
{
    DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::string read_file(const std::wstring &path)
{
    std::ifstream in(path.c_str(), std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

void write_file(const std::wstring &path, const std::string &content)
{
    std::ofstream out(path.c_str(), std::ios::binary);
    out << content;
}

void walk_tree(const std::wstring &folder, const tree_visitor &visit, const std::wstring &prefix)
{
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return;
    do {
        std::wstring name = found.cFileName;
        if (name == L"." || name == L"..")
            continue;
        visit(prefix + name, found);
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            walk_tree(folder + L"\\" + name, visit, prefix + name + L"\\");
    } while (FindNextFileW(search, &found));
    FindClose(search);
}

std::vector<std::wstring> list_files(const std::wstring &folder)
{
    std::vector<std::wstring> files;
    walk_tree(folder, [&files](const std::wstring &path, const WIN32_FIND_DATAW &found) {
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            files.push_back(path);
    });
    std::sort(files.begin(), files.end());
    return files;
}

std::vector<std::wstring> list_folder(const std::wstring &folder)
{
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return names;
    do {
        std::wstring name = found.cFileName;
        if (name != L"." && name != L"..")
            names.push_back(name);
    } while (FindNextFileW(search, &found));
    FindClose(search);
    std::sort(names.begin(), names.end());
    return names;
}

void remove_tree(const std::wstring &path)
{
    DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return;
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        for (const std::wstring &name : list_folder(path))
            remove_tree(path + L"\\" + name);
        RemoveDirectoryW(path.c_str());
    } else if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        RemoveDirectoryW(path.c_str()); /* a link: never followed */
    } else {
        SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(path.c_str());
    }
}

std::wstring make_scratch_folder(const std::wstring &name)
{
    std::wstring folder = std::wstring(ONEFILE_TEST_SCRATCH_DIR) + L"\\" + name;
    remove_tree(folder);
    CreateDirectoryW(ONEFILE_TEST_SCRATCH_DIR, NULL);
    CreateDirectoryW(folder.c_str(), NULL);
    CreateDirectoryW((folder + L"\\temp").c_str(), NULL);
    return folder;
}

std::wstring test_scratch_folder()
{
    const testing::TestInfo *test = testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string(test->test_suite_name()) + "." + test->name();
    /* Parameterised tests have slashes in their names. */
    std::replace(name.begin(), name.end(), '/', '.');
    return make_scratch_folder(utf16(name));
}

void use_temp_folder(process_options &options, const std::wstring &folder)
{
    options.environment[L"TMP"] = folder;
    options.environment[L"TEMP"] = folder;
}

void as_fresh_start(process_options &options, const std::wstring &temp)
{
    if (!temp.empty())
        use_temp_folder(options, temp);
    for (const wchar_t *name : {L"QALVEN_ONEFILE_PARENT", L"QALVEN_ONEFILE_RANDOM", L"QALVEN_ONEFILE_TIME_US",
                                L"QALVEN_ONEFILE_START", L"QALVEN_ONEFILE_CHILD_OF"})
        options.environment[name] = std::nullopt;
}

std::map<std::string, std::string> read_report(const std::wstring &path)
{
    std::map<std::string, std::string> report;
    std::istringstream lines(read_file(path));
    std::string line;
    while (std::getline(lines, line)) {
        size_t equals = line.find('=');
        if (equals == std::string::npos)
            continue;
        std::string value;
        for (size_t i = equals + 1; i < line.size(); i++) {
            if (line[i] != '\\' || i + 1 == line.size()) {
                value += line[i];
                continue;
            }
            char c = line[++i];
            value += c == 'n' ? '\n' : c == 't' ? '\t' : c == 'r' ? '\r' : c == 'v' ? '\v' : c;
        }
        report[line.substr(0, equals)] = value;
    }
    return report;
}

bool wait_for_file(const std::wstring &path, DWORD timeout_ms)
{
    for (DWORD waited = 0; waited < timeout_ms; waited += 20) {
        if (path_exists(path))
            return true;
        Sleep(20);
    }
    return path_exists(path);
}

/* Wine only: runs a Unix program to its end, through Wine's own way of
** starting one (winebrowser's); false where there is none (Windows). */
bool run_unix(std::vector<std::string> arguments)
{
    typedef LONG(CDECL * unix_spawn_function)(char *const *, int);
    unix_spawn_function spawn = (unix_spawn_function)(void (*)(void))GetProcAddress(
        GetModuleHandleW(L"ntdll.dll"), "__wine_unix_spawnvp");
    if (spawn == NULL)
        return false;
    std::vector<char *> argv;
    for (std::string &argument : arguments)
        argv.push_back(&argument[0]);
    argv.push_back(NULL);
    return spawn(argv.data(), TRUE /* wait */) == 0;
}

/* Wine only: the Unix path of a Windows path. */
std::string unix_path(const std::wstring &path)
{
    typedef char *(CDECL * unix_file_name_function)(const wchar_t *);
    unix_file_name_function unix_file_name = (unix_file_name_function)(void (*)(void))GetProcAddress(
        GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name");
    char *name = unix_file_name != NULL ? unix_file_name(path.c_str()) : NULL;
    std::string result = name != NULL ? name : "";
    HeapFree(GetProcessHeap(), 0, name);
    return result;
}
