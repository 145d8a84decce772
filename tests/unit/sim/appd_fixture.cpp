// The in-process appd fixture.
#include "appd_fixture.h"

#include <stdio.h>

void AppdTest::SetUp() {
    std::string control_path = dir_.file("ctl");
    std::string trace_path = dir_.file("trace");
    AppdOptions options;
    options.port = 0;
    options.control_path = control_path.c_str();
    options.trace_path = trace_path.c_str();
    options.request_log = request_log_;
    server_ = appd_create(&options);
    ASSERT_NE(server_, nullptr);
    port_ = appd_port(server_);
    loop_ = std::thread([this] { run_result_ = appd_run(server_); });
    control_fd_.reset(unix_stream_connect(control_path));
    ASSERT_TRUE(control_fd_.valid());
    control_reader_.attach(control_fd_.get());
}

void AppdTest::TearDown() {
    if (server_ == nullptr) return;
    appd_request_stop(server_);
    if (loop_.joinable()) loop_.join();
    EXPECT_EQ(run_result_, 0);
    appd_destroy(server_);
}

std::unique_ptr<AppdClient> AppdTest::connect_client() {
    auto c = std::make_unique<AppdClient>();
    c->tcp.reset(tcp_connect(port_));
    EXPECT_TRUE(c->tcp.valid());
    c->answers.attach(c->tcp.get());
    return c;
}

std::unique_ptr<AppdClient> AppdTest::connect_registered(const std::string& tag,
                                                         const std::string& type) {
    auto c = connect_client();
    c->path = dir_.file("zcon" + tag);
    c->events.reset(bind_dgram(c->path));
    EXPECT_TRUE(c->events.valid());
    EXPECT_EQ(request(*c, "R: " + type + " " + c->path), "R: 0");
    EXPECT_EQ(request(*c, "E: whoami"), "R: 0");
    std::string who = next_datagram(*c);
    EXPECT_EQ(sscanf(who.c_str(), "session %u", &c->id), 1) << who;
    return c;
}

std::string AppdTest::request(AppdClient& c, const std::string& line) {
    if (!write_all(c.tcp.get(), line + "\n")) return "<closed>";
    std::string answer;
    int rc = c.answers.read_line(&answer);
    if (rc == 0) return "<closed>";
    if (rc < 0) return "<timeout>";
    return answer;
}

std::string AppdTest::next_datagram(AppdClient& c, int timeout_ms) {
    std::string bytes;
    if (!recv_dgram(c.events.get(), &bytes, timeout_ms)) return "<none>";
    return bytes;
}

std::vector<std::string> AppdTest::control(const std::string& command, std::string* status) {
    std::vector<std::string> data;
    std::string line = "<timeout>";
    if (write_all(control_fd_.get(), command + "\n")) {
        while (control_reader_.read_line(&line) > 0 && !line.empty() && line[0] == ' ') {
            data.push_back(line.substr(1));
        }
    }
    if (status != nullptr) *status = line;
    return data;
}
