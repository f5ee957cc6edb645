// Runs linkora show on a data file of 5000 setpoints, drawn for the
// terminal and as SVG, and prints the times (median of five runs, the whole
// process). Target: each well under 0.2 s. Then the SVG's size for the same
// setpoints over a turn of 360 and of 36 000, and for twice the setpoints:
// it grows with the setpoints, not with the scale factor. Then --against a
// file of 4500 of them, and 5000 setpoints in 250 programs (one SVG each).
//   show_bench <path of linkora>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

// Eight programs of sixteen channels; every fifth setpoint wraps through
// zero, every 97th has on equal to off. The positions are those of a turn
// of 360, scaled to `turn`.
std::string dataFile(int setpoints, int turn, int programs = 8) {
    std::string text = "2: 4344\r\n4: 16\r\n18: " + std::to_string(turn) + "\r\n";
    const int scale = turn / 360;
    const int perProgram = std::max(1, setpoints / programs);
    for (int i = 0; i < setpoints; ++i) {
        const int on = static_cast<int>((static_cast<long>(i) * 7919) % 360);
        int off = (on + 9 + (i % 13)) % 360;
        if (i % 5 == 0) off = std::max(0, on - 120);
        if (i % 97 == 0) off = on;
        const int program = programs == 8 ? i % 8 + 1 : i / perProgram + 1;
        text += "49: " + std::to_string(program) + "," + std::to_string((i / 8) % 16 + 1) + "," +
                std::to_string(on * scale) + "," + std::to_string(off * scale) + "\r\n";
    }
    return text;
}

bool writeFile(const std::string& path, const std::string& text) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) return false;
    const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
    return std::fclose(file) == 0 && written;
}

// Runs the program with standard output to /dev/null; the seconds it took,
// or -1 when it did not end with status 0.
double run(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        setenv("LC_ALL", "C.UTF-8", 1);
        setenv("COLUMNS", "160", 1);
        execv(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double median(const std::vector<std::string>& args) {
    std::vector<double> times;
    for (int i = 0; i < 5; ++i) {
        const double t = run(args);
        if (t < 0) return -1;
        times.push_back(t);
    }
    std::sort(times.begin(), times.end());
    return times[2];
}

long sizeOf(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? static_cast<long>(st.st_size) : -1;
}

// The bytes of the SVG written as `stem`.svg, or as one per program
// (`stem`-1.svg ...), with how many documents they are.
long svgBytes(const std::string& stem, int& documents) {
    documents = 0;
    long total = 0;
    if (const long one = sizeOf(stem + ".svg"); one >= 0) {
        documents = 1;
        return one;
    }
    for (int p = 1; p <= 250; ++p) {
        const long part = sizeOf(stem + "-" + std::to_string(p) + ".svg");
        if (part < 0) continue;
        total += part;
        ++documents;
    }
    return documents > 0 ? total : -1;
}

void removeSvgs(const std::string& stem) {
    unlink((stem + ".svg").c_str());
    for (int p = 1; p <= 250; ++p) unlink((stem + "-" + std::to_string(p) + ".svg").c_str());
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::printf("usage: show_bench <path of linkora>\n");
        return 2;
    }
    const std::string linkora = argv[1];
    char folder[] = "/tmp/show-bench-XXXXXX";
    if (mkdtemp(folder) == nullptr) return 1;
    const std::string dir = folder;
    const std::string plain = dir + "/plant.dat", fine = dir + "/fine.dat", twice = dir + "/twice.dat";
    const std::string earlier = dir + "/earlier.dat", many = dir + "/many.dat";
    if (!writeFile(plain, dataFile(5000, 360)) || !writeFile(fine, dataFile(5000, 36000)) ||
        !writeFile(twice, dataFile(10000, 360)) || !writeFile(earlier, dataFile(4500, 360)) ||
        !writeFile(many, dataFile(5000, 360, 250))) {
        std::printf("cannot write the data files in %s\n", folder);
        return 1;
    }
    const double terminal = median({linkora, "show", plain});
    const double svg = median({linkora, "show", plain, "--svg", dir + "/plant.svg"});
    const double againstTerminal = median({linkora, "show", plain, "--against", earlier});
    const double againstSvg = median({linkora, "show", plain, "--against", earlier, "--svg", dir + "/against.svg"});
    const double manyTerminal = median({linkora, "show", many});
    const double manySvg = median({linkora, "show", many, "--svg", dir + "/many.svg"});
    run({linkora, "show", fine, "--svg", dir + "/fine.svg"});
    run({linkora, "show", twice, "--svg", dir + "/twice.svg"});
    int plantDocs = 0, fineDocs = 0, twiceDocs = 0, manyDocs = 0;
    const long plantBytes = svgBytes(dir + "/plant", plantDocs);
    const long fineBytes = svgBytes(dir + "/fine", fineDocs);
    const long twiceBytes = svgBytes(dir + "/twice", twiceDocs);
    const long manyBytes = svgBytes(dir + "/many", manyDocs);
    std::printf("show, 5000 setpoints in 8 programs of 16 channels:\n");
    std::printf("terminal: %.3f s (target < 0.2 s)\n", terminal);
    std::printf("SVG: %.3f s (target < 0.2 s), %ld bytes in %d document(s)\n", svg, plantBytes, plantDocs);
    std::printf(
        "SVG, the same setpoints over a turn of 36 000: %ld bytes in %d (grows with the setpoints, not the "
        "scale)\n",
        fineBytes, fineDocs);
    std::printf("SVG, 10 000 setpoints: %ld bytes in %d\n", twiceBytes, twiceDocs);
    std::printf("--against 4500 of them: terminal %.3f s, SVG %.3f s (target < 0.2 s)\n", againstTerminal, againstSvg);
    std::printf(
        "5000 setpoints in 250 programs: terminal %.3f s, SVG %.3f s: %d documents, %ld bytes (each file "
        "synced to disk before it replaces the old one)\n",
        manyTerminal, manySvg, manyDocs, manyBytes);
    for (const char* name : {"plant.dat", "fine.dat", "twice.dat", "earlier.dat", "many.dat"})
        unlink((dir + "/" + name).c_str());
    for (const char* stem : {"plant", "fine", "twice", "against", "many"}) removeSvgs(dir + "/" + stem);
    rmdir(folder);
    return terminal < 0 || svg < 0 || againstTerminal < 0 || againstSvg < 0 || manyTerminal < 0 || manySvg < 0 ? 1 : 0;
}
