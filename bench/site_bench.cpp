// Runs linkora site over a backup folder of 200 controllers with 40
// setpoints each, committed in git over three commits, and prints the time
// of the whole site (median of three runs, the whole process). Target: at
// most 2 s.
//   site_bench <path of linkora>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

constexpr int kControllers = 200;
constexpr int kSetpoints = 40;

std::string dataFile(int controller, int round) {
    std::string text = "2: 4344\r\n4: 16\r\n18: 360\r\n";
    for (int i = 0; i < kSetpoints; ++i) {
        const int on = (i * 37 + controller * 11 + round) % 360;
        text += "49: " + std::to_string(i % 4 + 1) + "," + std::to_string(i % 16 + 1) + "," + std::to_string(on) + "," +
                std::to_string((on + 20) % 360) + "\r\n";
    }
    return text;
}

bool writeFile(const std::string& path, const std::string& text) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) return false;
    const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
    return std::fclose(file) == 0 && written;
}

double run(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        std::freopen("/dev/null", "w", stdout);
        execv(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? seconds : -1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: site_bench <path of linkora>\n");
        return 2;
    }
    char folder[] = "/tmp/linkora-site-bench.XXXXXX";
    if (mkdtemp(folder) == nullptr) return 1;
    const std::string dir = folder;
    std::string inventory;
    for (int i = 0; i < kControllers; ++i)
        inventory += "press-" + std::to_string(i) + " COM" + std::to_string(i % 4 + 1) + " " +
                     std::to_string(i / 4 % 255 + 1) + " 38400\n";
    writeFile(dir + "/plant.inventory", inventory);
    const std::string git = "git -C " + dir + " -c user.name=bench -c user.email=bench@localhost ";
    bool ok = std::system((git + "init -q").c_str()) == 0;
    for (int round = 0; round < 3 && ok; ++round) {
        for (int i = 0; i < kControllers; ++i)
            if (round == 0 || i % (round * 7) == 0)
                writeFile(dir + "/press-" + std::to_string(i) + ".DAT", dataFile(i, round));
        ok = std::system((git + "add -A '*.DAT' && " + git + "commit -qm 'linkora backup: round'").c_str()) == 0;
    }
    std::vector<double> times;
    for (int i = 0; i < 3 && ok; ++i) {
        const double seconds = run({argv[1], "site", dir + "/plant.inventory", "--out", dir + "/site"});
        ok = seconds >= 0;
        times.push_back(seconds);
    }
    std::system(("rm -rf " + dir).c_str());
    if (!ok) {
        std::fprintf(stderr, "site_bench: linkora site failed\n");
        return 1;
    }
    std::sort(times.begin(), times.end());
    std::printf("linkora site: %d controllers of %d setpoints, the whole site in %.3f s (target <= 2 s)\n",
                kControllers, kSetpoints, times[1]);
    return times[1] <= 2.0 ? 0 : 1;
}
