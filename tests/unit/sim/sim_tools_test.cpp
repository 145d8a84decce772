// The small programs around the shell: qtool, the ready-file service and
// the appd program's own options.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include "sim_test_util.h"

TEST(Qtool, PrintsThePasswordLineAndSetsAndClearsIt) {
    TempDir dir;
    std::string qtool = "ZCON_SIM_DIR=" + dir.path() + "/sim " + bin_dir() + "/qtool";
    int status;
    EXPECT_EQ(run_shell(qtool + " config sw 0", &status), "config sw 0 \n");
    EXPECT_EQ(status, 0);
    EXPECT_EQ(run_shell(qtool + " config sw 0 set 's3cret word'", &status), "");
    EXPECT_EQ(status, 0);
    // The shell runs it through sh with exactly this command line.
    EXPECT_EQ(run_shell(qtool + " config sw 0", &status), "config sw 0 s3cret word\n");
    EXPECT_EQ(run_shell(qtool + " config sw 0 clear && " + qtool + " config sw 0", &status),
              "config sw 0 \n");
    run_shell(qtool + " config sw 1", &status);
    EXPECT_EQ(status, 2);
}

TEST(ReadyService, CreatesTheReadyFileAndDirectoriesAndRemovesTheFileOnStop) {
    TempDir dir;
    std::string ready = dir.file("ZconReady");
    Child service = spawn(
        {bin_dir() + "/zcon-ready-service", "--ready-file", ready, "--listener-root", dir.path()});
    ASSERT_GT(service.pid, 0);
    ASSERT_TRUE(wait_until([&] { return access(ready.c_str(), F_OK) == 0; }));
    for (const char* sub : {"sysloglisteners", "apiasynclisteners"}) {
        struct stat st {};
        ASSERT_EQ(stat(dir.file(sub).c_str(), &st), 0) << sub;
        EXPECT_EQ(st.st_mode & 07777, 01777u) << sub;
    }
    kill(service.pid, SIGTERM);
    EXPECT_EQ(wait_exit(service.pid), 0);
    EXPECT_NE(access(ready.c_str(), F_OK), 0);
}

TEST(AppdProgram, ServesOnThePortItWritesAndQuitsOnRequest) {
    TempDir dir;
    std::string port_file = dir.file("port");
    Child appd = spawn({bin_dir() + "/appd", "--port", "0", "--port-file", port_file, "--control",
                        dir.file("ctl"), "--trace", dir.file("trace")});
    ASSERT_GT(appd.pid, 0);
    ASSERT_TRUE(wait_until([&] { return !read_file(port_file).empty(); }));
    UniqueFd tcp(tcp_connect(std::stoi(read_file(port_file))));
    ASSERT_TRUE(tcp.valid());
    LineReader answers(tcp.get());
    ASSERT_TRUE(write_all(tcp.get(), "C: version\n"));
    std::string line;
    ASSERT_EQ(answers.read_line(&line), 1);
    EXPECT_EQ(line, "R: 0");

    UniqueFd control(unix_stream_connect(dir.file("ctl")));
    LineReader replies(control.get());
    ASSERT_TRUE(write_all(control.get(), "quit\n"));
    ASSERT_EQ(replies.read_line(&line), 1);
    EXPECT_EQ(line, "ok");
    EXPECT_EQ(wait_exit(appd.pid), 0);
    EXPECT_EQ(answers.read_line(&line), 0);  // its sessions end with it

    int status;
    run_shell(bin_dir() + "/appd --port 70000", &status);
    EXPECT_EQ(status, 2);
    EXPECT_NE(run_shell(bin_dir() + "/appd --help", &status).find("--control PATH"),
              std::string::npos);
    EXPECT_EQ(status, 0);
}
