// Console output: text exactly as formatted, standard output before the
// error channel. Each case runs in a child whose output goes to pipes.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "link/libcomm.h"

namespace {

struct captured {
    std::string out, err;
    int status = -1;
};

std::string drain(int fd) {
    std::string text;
    char buf[1024];
    for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) text.append(buf, static_cast<size_t>(n));
    return text;
}

// Runs `body` in a child with stdout and stderr on pipes (the same pipe when
// `merged`), as they would be when the tool's output is redirected.
captured run_child(const std::function<int()>& body, bool merged = false) {
    int out[2], err[2];
    EXPECT_EQ(pipe(out), 0);
    EXPECT_EQ(pipe(err), 0);
    fflush(stdout);
    fflush(stderr);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], 1);
        dup2(merged ? out[1] : err[1], 2);
        close(out[0]);
        close(err[0]);
        close(out[1]);
        close(err[1]);
        _exit(body());
    }
    close(out[1]);
    close(err[1]);
    captured c;
    c.out = drain(out[0]);
    c.err = drain(err[0]);
    close(out[0]);
    close(err[0]);
    waitpid(pid, &c.status, 0);
    return c;
}

TEST(LogOutput, WriteAndAppendPrintExactlyAsFormattedToStandardOutput) {
    captured c = run_child([] {
        int r = log_write("MAIN", "ver:%s\n\n", "0.11.0");
        r |= log_write("MAIN", "%d. '%s'\n", 1, "USBS:/dev/ttyACM0/c44");
        r |= log_append("MAIN", "Connecting device...");
        r |= log_append("MAIN", "%s", "Ok.\n");
        r |= log_write("MAIN", "%c%5.2f|%-4s|%03u", '>', 3.14159, "ab", 7u);
        return r;
    });
    EXPECT_EQ(c.status, 0);
    EXPECT_EQ(c.out, "ver:0.11.0\n\n1. 'USBS:/dev/ttyACM0/c44'\nConnecting device...Ok.\n> 3.14|ab  |007");
    EXPECT_EQ(c.err, "");
}

TEST(LogOutput, ErrorPrintsExactlyAsFormattedToTheErrorChannel) {
    captured c = run_child([] { return log_error("Command %s error(code=%d)!\n", "R62_cmd_set_memory", 255); });
    EXPECT_EQ(c.status, 0);
    EXPECT_EQ(c.out, "");
    EXPECT_EQ(c.err, "Command R62_cmd_set_memory error(code=255)!\n");
}

TEST(LogOutput, StandardOutputIsFlushedBeforeAnErrorAndAfterEachWrite) {
    // One pipe for both: a buffered stdout would come out after the error.
    captured c = run_child(
        []() -> int {
            log_write("MAIN", "Connecting device...");
            log_error("\nError connecting device!\n");
            log_append("MAIN", "after");
            _exit(0);  // no exit-time flush: what is not out yet is lost
        },
        true);
    EXPECT_EQ(c.out, "Connecting device...\nError connecting device!\nafter");
}

TEST(LogOutput, SetUpCallsAreAcceptedSilently) {
    captured c = run_child([] {
        int r = log_addlevel("MAIN", 0, 1, 0, 0, "");
        r |= log_seterror(0, 1, 0, 0, "");
        return r;
    });
    EXPECT_EQ(c.status, 0);
    EXPECT_EQ(c.out, "");
    EXPECT_EQ(c.err, "");
}

}  // namespace
