// Console output: text exactly as formatted, standard output before the
// error channel. Each case runs in a child whose output goes to pipes, as
// when the tool's output is redirected.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "libcomm/libcomm.h"

namespace {

std::string drain(int fd) {
    std::string text;
    char buf[1024];
    for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) text.append(buf, static_cast<size_t>(n));
    close(fd);
    return text;
}

// Standard output and error of `body` run in a child (both on one pipe when
// `merged`). The child ends with _exit: no exit-time flush rescues output
// still buffered.
std::pair<std::string, std::string> run_child(void (*body)(), bool merged = false) {
    int out[2], err[2];
    EXPECT_EQ(pipe(out), 0);
    EXPECT_EQ(pipe(err), 0);
    fflush(stdout);
    fflush(stderr);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], 1);
        dup2(merged ? out[1] : err[1], 2);
        for (int fd : {out[0], out[1], err[0], err[1]}) close(fd);
        body();
        _exit(0);
    }
    close(out[1]);
    close(err[1]);
    std::pair<std::string, std::string> got{drain(out[0]), drain(err[0])};
    waitpid(pid, nullptr, 0);
    return got;
}

}  // namespace

TEST(LogOutput, EachFunctionPrintsExactlyAsFormattedToItsChannelAndSetUpPrintsNothing) {
    const auto [out, err] = run_child([] {
        int r = log_addlevel("MAIN", 0, 1, 0, 0, "") | log_seterror(0, 1, 0, 0, "");
        r |= log_write("MAIN", "ver:%s\n\n", "0.11.0");
        r |= log_write("MAIN", "%d. '%s'\n", 1, "USBS:/dev/ttyACM0/c44");
        r |= log_append("MAIN", "Connecting device...");
        r |= log_error("Command %s error(code=%d)!\n", "R62_cmd_set_memory", 255);
        r |= log_append("MAIN", "%s", "Ok.\n");
        r |= log_write("MAIN", "%c%5.2f|%-4s|%03u", '>', 3.14159, "ab", 7u);
        if (r != 0) log_write("MAIN", "<failed>");
    });
    EXPECT_EQ(out, "ver:0.11.0\n\n1. 'USBS:/dev/ttyACM0/c44'\nConnecting device...Ok.\n> 3.14|ab  |007");
    EXPECT_EQ(err, "Command R62_cmd_set_memory error(code=255)!\n");
}

TEST(LogOutput, StandardOutputIsFlushedBeforeAnErrorAndAfterEachWrite) {
    // One pipe for both: a buffered stdout would come out after the error, or not at all.
    const auto [out, err] = run_child(
        [] {
            fputs("Connecting device...", stdout);  // plain stdio: still in its buffer
            log_error("\nError connecting device!\n");
            log_append("MAIN", "after");
        },
        true);
    EXPECT_EQ(out, "Connecting device...\nError connecting device!\nafter");
    EXPECT_EQ(err, "");
}
