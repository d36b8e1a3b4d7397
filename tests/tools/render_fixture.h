// render_fixture.h: runs the brisanto-render program and reads back what it wrote.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <sndfile.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "engine/brskern.h"

extern char** environ;

namespace brs::test {

struct RunResult {
    int status = -1;  // exit status, or 128 + signal
    std::string out;  // standard output
    std::string err;  // standard error
};

struct Wav {
    bool ok = false;
    int rate = 0;
    int channels = 0;
    int format = 0;  // libsndfile format word
    std::vector<float> left, right;
    std::size_t frames() const { return left.size(); }
};

inline std::string slurp(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

inline void spit(const std::string& path, const std::string& text) {
    std::ofstream f(path, std::ios::binary);
    f << text;
}

inline bool exists(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

inline Wav read_wav(const std::string& path) {
    Wav w;
    SF_INFO info{};
    SNDFILE* sf = sf_open(path.c_str(), SFM_READ, &info);
    if (!sf) return w;
    w.rate = info.samplerate;
    w.channels = info.channels;
    w.format = info.format;
    std::vector<float> inter(static_cast<std::size_t>(info.frames) * info.channels);
    sf_count_t n = sf_readf_float(sf, inter.data(), info.frames);
    sf_close(sf);
    if (n != info.frames || info.channels != 2) return w;
    for (sf_count_t i = 0; i < n; ++i) {
        w.left.push_back(inter[2 * i]);
        w.right.push_back(inter[2 * i + 1]);
    }
    w.ok = true;
    return w;
}

// A scratch directory per test, removed with everything in it afterwards.
class RenderTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/brs-render-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override {
        std::string cmd = "rm -rf '" + dir_ + "'";
        if (std::system(cmd.c_str()) != 0) std::fprintf(stderr, "could not remove %s\n", dir_.c_str());
    }

    std::string path(const std::string& name) const { return dir_ + "/" + name; }

    // Names in the scratch directory, sorted (hidden temporary files included).
    std::vector<std::string> listing() const {
        std::vector<std::string> names;
        if (DIR* d = opendir(dir_.c_str())) {
            while (dirent* e = readdir(d)) {
                std::string n = e->d_name;
                if (n != "." && n != "..") names.push_back(n);
            }
            closedir(d);
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    // Runs the renderer with args inside the scratch directory.
    RunResult render(const std::vector<std::string>& args) const {
        RunResult r;
        std::string outPath = path(".stdout"), errPath = path(".stderr");
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&fa, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        std::vector<std::string> all = {BRS_RENDER_EXE};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& a : all) argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_addchdir_np(&fa, dir_.c_str());
        pid_t pid = 0;
        int rc = posix_spawn(&pid, BRS_RENDER_EXE, &fa, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&fa);
        if (rc != 0) return r;
        int st = 0;
        waitpid(pid, &st, 0);
        r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        r.out = slurp(outPath);
        r.err = slurp(errPath);
        unlink(outPath.c_str());
        unlink(errPath.c_str());
        return r;
    }

    std::string dir_;
};

// A set document made with the kernel's own writer. `edit` changes a fresh
// engine before it is written.
template <class F>
std::string make_set(F edit) {
    brskern_t k = brskern_new(48000.0f);
    edit(k);
    std::size_t n = brskern_save_set(k, nullptr, 0);
    std::string text(n, '\0');
    brskern_save_set(k, text.data(), n);
    text.resize(n - 1);
    brskern_free(k);
    return text;
}

// Frames at which a new sound starts. Detection works on the first
// difference of the signal, which the click and the high start of a pitch
// sweep dominate while a decaying low tail hardly shows in it: a hop of 64
// frames whose difference energy exceeds 5 % of the loudest hop and eight
// times the mean of the 16 hops before it marks an onset; the onset frame is
// the first frame, from the hop before on, whose squared difference reaches
// 1 % of that hop's largest. Onsets closer than 50 ms are merged.
inline std::vector<long> onsets(const std::vector<float>& x, int rate) {
    constexpr std::size_t H = 64, BACK = 16;
    std::vector<double> d(x.size(), 0.0);
    if (!x.empty()) d[0] = double(x[0]) * double(x[0]);  // silence before the first frame
    for (std::size_t i = 1; i < x.size(); ++i) d[i] = double(x[i] - x[i - 1]) * double(x[i] - x[i - 1]);
    std::vector<double> e(x.size() / H, 0.0), top(e.size(), 0.0);
    double peak = 0.0;
    for (std::size_t h = 0; h < e.size(); ++h) {
        for (std::size_t i = h * H; i < (h + 1) * H; ++i) {
            e[h] += d[i];
            top[h] = std::max(top[h], d[i]);
        }
        peak = std::max(peak, e[h]);
    }
    std::vector<long> found;
    long gap = rate / 20;
    for (std::size_t h = 0; h < e.size(); ++h) {
        double before = 0.0;
        std::size_t from = h >= BACK ? h - BACK : 0;
        for (std::size_t j = from; j < h; ++j) before += e[j];
        before = h > from ? before / double(h - from) : 0.0;
        if (e[h] > 0.05 * peak && e[h] > 8.0 * before) {
            long at = long(h * H);
            for (std::size_t i = h > 0 ? (h - 1) * H : 0; i < (h + 1) * H; ++i)
                if (d[i] >= 0.01 * top[h]) {
                    at = long(i);
                    break;
                }
            if (found.empty() || at - found.back() > gap) found.push_back(at);
        }
    }
    return found;
}

// Frames of onsets every `steps` sixteenths at `bpm`, count of them.
inline std::vector<long> grid(double bpm, int steps, int rate, std::size_t count) {
    std::vector<long> g;
    for (std::size_t k = 0; k < count; ++k) g.push_back(std::lround(double(k) * steps * 15.0 / bpm * rate));
    return g;
}

// Every found onset lies within `tol` frames of its grid position, and there are as many.
inline ::testing::AssertionResult on_grid(const std::vector<long>& found, const std::vector<long>& want, long tol) {
    if (found.size() != want.size())
        return ::testing::AssertionFailure() << found.size() << " onsets, expected " << want.size()
                                             << (found.empty() ? "" : "; first at " + std::to_string(found[0]));
    for (std::size_t i = 0; i < want.size(); ++i)
        if (std::labs(found[i] - want[i]) > tol)
            return ::testing::AssertionFailure() << "onset " << i << " at frame " << found[i] << ", expected "
                                                 << want[i];
    return ::testing::AssertionSuccess();
}

}  // namespace brs::test
