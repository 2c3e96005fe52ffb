/*
** Start times of the cached unpack folder under Wine, beside a bare
** hello-world program and the per-run mode: a first and a second start of
** a small application and of one with 5,000 files, each the median of
** --repeat runs, started and waited for from this Windows-side program.
**
**   cached_roads.exe HELLO.EXE [LABEL=]BOOTSTRAP.EXE ... [--repeat N] [--folder DIR]
**
** Each BOOTSTRAP.EXE is a build of the patchable test bootstrap; copies of
** it are given the attached data and the unpack template. Several builds
** (for instance one that takes the one-process road and one that always
** starts the copy) are measured in the same run, labelled as given. --folder
** puts the executables, TEMP and the cache there (a tmpfs folder keeps the
** file system's history out of the figures); by default a scratch folder
** of the build.
*/
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "attached_data_builder.h"
#include "run_process.h"

namespace {

int repeat = 15;

double start_once(const std::wstring &program, const std::wstring &temp)
{
    process_options run;
    run.command_line = quote_argument(program);
    use_temp_folder(run, temp);
    LARGE_INTEGER frequency, before, after;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&before);
    process_result result = run_process(run);
    QueryPerformanceCounter(&after);
    if (result.exit_code != 0)
        std::printf("  %ls: exit status %lu: %s%s\n", program.c_str(), result.exit_code,
                    result.out.c_str(), result.err.c_str());
    return 1000.0 * (double)(after.QuadPart - before.QuadPart) / (double)frequency.QuadPart;
}

double median(std::vector<double> times)
{
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

/* A way to start a program: the setup that runs untimed before each start. */
struct start_kind {
    const char *label;
    std::function<void(size_t build)> before_each;
};

/* Every kind of start of every build, `repeat` rounds, each round all of
** them in turn, so that the machine's drift touches all alike. Medians,
** indexed [kind][build]. */
std::vector<std::vector<double>> measure(const std::vector<std::wstring> &programs_by_kind_and_build,
                                         size_t builds, const std::vector<start_kind> &kinds,
                                         const std::wstring &temp)
{
    std::vector<std::vector<std::vector<double>>> times(kinds.size(),
                                                        std::vector<std::vector<double>>(builds));
    for (int i = 0; i < repeat; i++) {
        for (size_t k = 0; k < kinds.size(); k++) {
            for (size_t b = 0; b < builds; b++) {
                kinds[k].before_each(b);
                times[k][b].push_back(start_once(programs_by_kind_and_build[k * builds + b], temp));
            }
        }
    }
    std::vector<std::vector<double>> medians(kinds.size());
    for (size_t k = 0; k < kinds.size(); k++)
        for (size_t b = 0; b < builds; b++)
            medians[k].push_back(median(times[k][b]));
    return medians;
}

/* A copy of `bootstrap` carrying `object` and, unless empty, `unpack_template`,
** found by the markers that the patchable bootstrap puts before them. */
void write_copy(const std::wstring &path, const std::wstring &bootstrap, const std::string &object,
                const std::wstring &unpack_template)
{
    std::string image = read_file(bootstrap);
    size_t size_at = image.find("ONEFILE-PATCH-ME") + 16;
    size_t data_at = (size_at + 8 + 15) / 16 * 16;
    for (int i = 0; i < 8; i++)
        image[size_at + i] = (char)((object.size() >> (8 * i)) & 0xff);
    image.replace(data_at, object.size(), object);
    if (!unpack_template.empty()) {
        size_t template_at = image.find("ONEFILE-TEMPLATE") + 16;
        for (size_t i = 0; i <= unpack_template.size(); i++) {
            wchar_t unit = i < unpack_template.size() ? unpack_template[i] : L'\0';
            image[template_at + 2 * i] = (char)(unit & 0xff);
            image[template_at + 2 * i + 1] = (char)(unit >> 8);
        }
    }
    write_file(path, image);
}

void row(const char *what, double ms, double hello)
{
    std::printf("| %s | %.1f | %.2f |\n", what, ms, ms / hello);
}

} // namespace

int wmain(int argc, wchar_t **argv)
{
    std::vector<std::pair<std::string, std::wstring>> builds;
    std::wstring hello, folder;
    for (int i = 1; i < argc; i++) {
        std::wstring argument = argv[i];
        if (argument == L"--repeat" && i + 1 < argc) {
            repeat = _wtoi(argv[++i]);
        } else if (argument == L"--folder" && i + 1 < argc) {
            folder = argv[++i];
        } else if (hello.empty()) {
            hello = argument;
        } else {
            size_t equals = argument.find(L'=');
            std::string label = equals == std::wstring::npos ? "bootstrap" : utf8(argument.substr(0, equals));
            builds.push_back({label, equals == std::wstring::npos ? argument : argument.substr(equals + 1)});
        }
    }
    if (hello.empty() || builds.empty()) {
        std::printf("usage: cached_roads HELLO.EXE [LABEL=]BOOTSTRAP.EXE ... [--repeat N] [--folder DIR]\n");
        return 2;
    }
    if (folder.empty()) {
        folder = make_scratch_folder(L"cached_roads");
    } else {
        remove_tree(folder);
        CreateDirectoryW(folder.c_str(), NULL);
        CreateDirectoryW((folder + L"\\temp").c_str(), NULL);
    }

    std::wstring temp = folder + L"\\temp";
    file_entries small = {{L"probe_app.dll", probe_library()}, {L"data\\value.txt", "42"}};
    file_entries many = small;
    for (int i = 0; i < 5000; i++)
        many.push_back({L"d" + std::to_wstring(i / 100) + L"\\f" + std::to_wstring(i) + L".txt",
                        std::string(100 + i % 50, (char)('a' + i % 26))});
    const std::pair<const char *, const file_entries *> apps[] = {{"small", &small}, {"5,000 files", &many}};

    std::printf("median of %d starts under Wine, each round all kinds in turn\n\n"
                "| start | ms | x hello |\n|---|---|---|\n", repeat);
    for (const auto &app : apps) {
        std::string object = make_object(*app.second);
        std::vector<std::wstring> per_run, cached;
        for (size_t b = 0; b < builds.size(); b++) {
            std::wstring name = folder + L"\\" + std::to_wstring(b);
            per_run.push_back(name + L"_per_run.exe");
            cached.push_back(name + L"_cached.exe");
            write_copy(per_run.back(), builds[b].second, object, L"");
            write_copy(cached.back(), builds[b].second, object, name + L"_cache\\0123456789abcdef");
        }
        auto cache_of = [&](size_t b) { return folder + L"\\" + std::to_wstring(b) + L"_cache"; };
        std::vector<start_kind> kinds = {
            {"bare hello-world executable", [](size_t) {}},
            {"per-run mode", [](size_t) {}},
            {"cached, first start", [&](size_t b) { remove_tree(cache_of(b)); }},
            {"cached, second start", [](size_t) {}},
            /* Without the record a start must read names and sizes from the
            ** attached data itself: what checking from the stream would cost. */
            {"cached, second start without the record", [&](size_t b) {
                 DeleteFileW((cache_of(b) + L"\\0123456789abcdef\\.onefile-record").c_str());
             }},
        };
        std::vector<std::wstring> programs(builds.size(), hello);
        programs.insert(programs.end(), per_run.begin(), per_run.end());
        for (size_t k = 2; k < kinds.size(); k++)
            programs.insert(programs.end(), cached.begin(), cached.end());
        std::vector<std::vector<double>> medians = measure(programs, builds.size(), kinds, temp);
        double hello_ms = median(medians[0]);
        row((std::string(app.first) + ": bare hello-world executable").c_str(), hello_ms, hello_ms);
        for (size_t b = 0; b < builds.size(); b++)
            for (size_t k = 1; k < kinds.size(); k++)
                row((builds[b].first + ", " + app.first + ": " + kinds[k].label).c_str(), medians[k][b],
                    hello_ms);
    }
    remove_tree(folder);
    return 0;
}
