#include "services/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

extern char** environ;

namespace process {

namespace {

// Descriptor owned by one scope; every path out of a launch closes what it opened.
struct Fd {
    int fd = -1;
    Fd() = default;
    explicit Fd(int f) : fd(f) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { reset(); }
    void reset(int f = -1) {
        if (fd >= 0) ::close(fd);
        fd = f;
    }
    bool ok() const { return fd >= 0; }
};

struct Pipe {
    Fd read, write;
    bool make() {
        int p[2];
        if (::pipe2(p, O_CLOEXEC) != 0) return false;
        read.reset(p[0]);
        write.reset(p[1]);
        return true;
    }
};

// Children started without waiting; reaped once they end.
std::vector<pid_t> pending;

int open_retry(const char* path, int flags, mode_t mode = 0) {
    int fd;
    do fd = ::open(path, flags | O_CLOEXEC, mode);
    while (fd < 0 && errno == EINTR);
    return fd;
}

// Words of a command line: blanks separate; double quotes group (and are dropped), with a
// backslash before a double quote keeping the quote; single quotes group text taken as it is.
// A single quote with no partner is an apostrophe (it's) and stays in its word.
std::vector<std::string> split_words(const std::string& command) {
    std::vector<std::string> words;
    std::string word;
    bool in_word = false, quoted = false;
    for (size_t i = 0; i < command.size(); i++) {
        char c = command[i];
        size_t close = c == '\'' && !quoted ? command.find('\'', i + 1) : std::string::npos;
        if (close != std::string::npos) {
            word.append(command, i + 1, close - i - 1);
            in_word = true;
            i = close;
        } else if (c == '\\' && i + 1 < command.size() && command[i + 1] == '"') {
            word += '"';
            in_word = true;
            i++;
        } else if (c == '"') {
            quoted = !quoted;
            in_word = true;
        } else if (!quoted && (c == ' ' || c == '\t' || c == '\n' || c == '\r')) {
            if (in_word) words.push_back(std::move(word));
            word.clear();
            in_word = false;
        } else {
            word += c;
            in_word = true;
        }
    }
    if (in_word) words.push_back(std::move(word));
    return words;
}

// One word for /bin/sh: single quotes keep everything, a single quote is closed, escaped, reopened.
std::string shell_quoted(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'') quoted += "'\\''";
        else quoted += c;
    }
    return quoted + "'";
}

int spawn(pid_t* pid, const std::vector<std::string>& words, const posix_spawn_file_actions_t* actions) {
    std::vector<char*> argv;
    argv.reserve(words.size() + 1);
    for (const std::string& w : words) argv.push_back(const_cast<char*>(w.c_str()));
    argv.push_back(nullptr);
    // This process ignores SIGPIPE and SIGXFSZ, and an ignored signal stays ignored across exec:
    // the child gets the defaults back, so a pipeline's writer ends when its reader does and a
    // program meets a file size limit as it would started from a shell.
    posix_spawnattr_t attr;
    if (posix_spawnattr_init(&attr) != 0) return ENOMEM;
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGXFSZ);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF);
    int rc = posix_spawnp(pid, argv[0], actions, &attr, argv.data(), environ);
    posix_spawnattr_destroy(&attr);
    return rc;
}

int wait_exit(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

// Feeds the input and drains both captures together until every pipe is closed.
void pump(int in_fd, const std::string& input, int out_fd, std::string* out, int err_fd, std::string* err) {
    size_t written = 0;
    if (in_fd >= 0 && input.empty()) {
        ::close(in_fd);
        in_fd = -1;
    }
    if (in_fd >= 0) ::fcntl(in_fd, F_SETFL, ::fcntl(in_fd, F_GETFL) | O_NONBLOCK);
    // A child that stops reading its input must not end this process: the write just fails.
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    // On every way out, an error included (no memory left for the capture), the pipes still
    // open are closed: a child kept writing into one would wait for ever.
    struct Left {
        int* fds[3];
        struct sigaction saved {};
        ~Left() {
            for (int* fd : fds)
                if (*fd >= 0) ::close(*fd);
            ::sigaction(SIGPIPE, &saved, nullptr);
        }
    } left{{&in_fd, &out_fd, &err_fd}};
    ::sigaction(SIGPIPE, &ignore, &left.saved);
    char chunk[65536];
    while (in_fd >= 0 || out_fd >= 0 || err_fd >= 0) {
        pollfd fds[3];
        int n = 0;
        int in_at = -1, out_at = -1, err_at = -1;
        if (in_fd >= 0) { in_at = n; fds[n++] = {in_fd, POLLOUT, 0}; }
        if (out_fd >= 0) { out_at = n; fds[n++] = {out_fd, POLLIN, 0}; }
        if (err_fd >= 0) { err_at = n; fds[n++] = {err_fd, POLLIN, 0}; }
        if (::poll(fds, nfds_t(n), -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (in_at >= 0 && fds[in_at].revents) {
            ssize_t w = ::write(in_fd, input.data() + written, input.size() - written);
            if (w > 0) written += size_t(w);
            if ((w < 0 && errno != EAGAIN && errno != EINTR) || written == input.size()) {
                ::close(in_fd);
                in_fd = -1;
            }
        }
        auto drain = [&](int at, int& fd, std::string* into) {
            if (at < 0 || !fds[at].revents) return;
            ssize_t r = ::read(fd, chunk, sizeof chunk);
            if (r > 0) into->append(chunk, size_t(r));
            else if (r == 0 || (errno != EINTR && errno != EAGAIN)) {
                ::close(fd);
                fd = -1;
            }
        };
        drain(out_at, out_fd, out);
        drain(err_at, err_fd, err);
    }
}

// The child's end of an output stream: a file appended to, a capture pipe, the null device or
// (console) nothing to change. False only when a pipe cannot be made.
bool prepare_output(Stream& s, bool console, Fd& child, Pipe& capture) {
    switch (s.target) {
        case Target::File:
            child.reset(open_retry(s.data.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0666));
            // A file that cannot be opened leaves the stream without a place to write to.
            if (!child.ok()) child.reset(open_retry("/dev/null", O_WRONLY));
            return true;
        case Target::Data:
            s.data.clear();
            if (!capture.make()) return false;
            child.reset(capture.write.fd);
            capture.write.fd = -1;
            return true;
        case Target::Default:
            if (!console) child.reset(open_retry("/dev/null", O_WRONLY));
            return true;
    }
    return true;
}

}  // namespace

void reap() {
    for (size_t i = 0; i < pending.size();) {
        int status;
        pid_t r = ::waitpid(pending[i], &status, WNOHANG);
        if (r == 0) {
            i++;
        } else {
            // Ended (r == pid) or no longer ours (ECHILD): either way it is gone.
            pending[i] = pending.back();
            pending.pop_back();
        }
    }
}

bool unreaped() { return !pending.empty(); }

int64_t run(Launch& launch) {
    reap();
    // A NUL cuts the command or a file name short: what is left names another program or file.
    auto cut = [](const std::string& s) { return s.find('\0') != std::string::npos; };
    auto cut_file = [&](const Stream& s) { return s.target == Target::File && cut(s.data); };
    if (cut(launch.command) || cut_file(launch.input) || cut_file(launch.output) || cut_file(launch.error))
        return -1;
    Fd child_in, child_out, child_err;
    Pipe in_pipe, out_pipe, err_pipe;
    switch (launch.input.target) {
        case Target::File: {
            child_in.reset(open_retry(launch.input.data.c_str(), O_RDONLY));
            if (!child_in.ok()) return -1;
            // A folder opens for reading here but holds no bytes to read: it is no input file.
            struct stat st {};
            if (::fstat(child_in.fd, &st) != 0 || S_ISDIR(st.st_mode)) return -1;
            break;
        }
        case Target::Data:
            if (!in_pipe.make()) return -1;
            child_in.reset(in_pipe.read.fd);
            in_pipe.read.fd = -1;
            break;
        case Target::Default: break;
    }
    if (!prepare_output(launch.output, launch.console, child_out, out_pipe)) return -1;
    if (!prepare_output(launch.error, launch.console, child_err, err_pipe)) return -1;

    posix_spawn_file_actions_t actions;
    if (posix_spawn_file_actions_init(&actions) != 0) return -1;
    // dup2 onto 0-2 clears close-on-exec there; every other descriptor made here has it set.
    if (child_in.ok()) posix_spawn_file_actions_adddup2(&actions, child_in.fd, 0);
    if (child_out.ok()) posix_spawn_file_actions_adddup2(&actions, child_out.fd, 1);
    if (child_err.ok()) posix_spawn_file_actions_adddup2(&actions, child_err.fd, 2);

    pid_t pid = -1;
    int rc;
    launch.used_shell = launch.shell;
    // "--" ends the shell's own options: a command that begins with "-" or "+" is a command
    // to run, not options for the shell (-s would have it read commands from its input).
    if (launch.shell) {
        rc = spawn(&pid, {"/bin/sh", "-c", "--", launch.command}, &actions);
    } else {
        std::vector<std::string> words;
        // A path without a slash names a file of the current folder first, as a file! does
        // everywhere else; only when there is none is the program looked up on PATH.
        if (launch.program && launch.command.find('/') == std::string::npos && ::access(launch.command.c_str(), F_OK) == 0)
            words.push_back("./" + launch.command);
        else if (launch.program) words.push_back(launch.command);
        else words = split_words(launch.command);
        rc = words.empty() ? ENOENT : spawn(&pid, words, &actions);
        if (rc == ENOENT) {
            launch.used_shell = true;
            rc = spawn(&pid, {"/bin/sh", "-c", "--", launch.program ? shell_quoted(launch.command) : launch.command},
                       &actions);
        }
    }
    posix_spawn_file_actions_destroy(&actions);
    // The child has its own copies now; holding ours would keep the pipes from ending.
    child_in.reset();
    child_out.reset();
    child_err.reset();
    if (rc != 0) return -1;

    bool redirected = launch.input.target != Target::Default || launch.output.target != Target::Default ||
                      launch.error.target != Target::Default;
    if (in_pipe.write.ok() || out_pipe.read.ok() || err_pipe.read.ok()) {
        int in_fd = in_pipe.write.fd, out_fd = out_pipe.read.fd, err_fd = err_pipe.read.fd;
        in_pipe.write.fd = out_pipe.read.fd = err_pipe.read.fd = -1;  // pump closes them
        try {
            pump(in_fd, launch.input.data, out_fd, &launch.output.data, err_fd, &launch.error.data);
        } catch (...) {
            // The child ends with its pipes closed, or later: it is reaped then, not waited for.
            pending.push_back(pid);
            throw;
        }
    }
    if (launch.wait || launch.console || redirected) return wait_exit(pid);
    pending.push_back(pid);
    return pid;
}

bool open_document(const std::string& target) {
    reap();
    if (target.find('\0') != std::string::npos) return false;
    posix_spawn_file_actions_t actions;
    if (posix_spawn_file_actions_init(&actions) != 0) return false;
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    // A name that begins with a dash would be read as an option of the opener, not as the file.
    int rc = spawn(&pid, {"xdg-open", target.starts_with('-') ? "./" + target : target}, &actions);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return false;
    pending.push_back(pid);
    return true;
}

}  // namespace process
