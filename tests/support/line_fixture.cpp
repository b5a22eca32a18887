#include "support/line_fixture.h"

#include <chrono>
#include <condition_variable>
#include <list>
#include <mutex>

#include "peers/line_server.h"
#include "support/loop_thread.h"

namespace nuvra_test {

// What the stream callbacks report; shared with them so that they never
// outlive it.
struct LineFixture::Records {
    mutable std::mutex mtx;
    mutable std::condition_variable changed;
    std::vector<std::string> messages;
    bool connected = false;
    bool failed = false;
    bool closed = false;
    uint64_t closed_at = 0;
    // Network thread only.
    OnMessage on_message;
    Info info;
    bool abandoned = false;  // the fixture is gone: a late connection is closed at once
};

namespace {

// The dispatcher's part for the login answers and the pongs.
void handle(InterfaceLinkD& engine, InterfaceLinkD::ConnInfo& info, const std::string& msg) {
    if (info.state == InterfaceLinkD::CONN_STATE_CONNECTED && is_login_accepted(msg)) {
        info.state = InterfaceLinkD::CONN_STATE_LOGINED;
        info.flag = engine.m_tcp_conn_flag;
        info.sendping();
        engine.m_tcp_connected = true;
    } else if (info.state == InterfaceLinkD::CONN_STATE_LOGINED && is_pong(msg)) {
        info.last_pong_recv_time = mynet::mono_time_ms();
        engine.m_last_active_time = info.last_pong_recv_time;
    }
}

}  // namespace

LineFixture::LineFixture(InterfaceLinkD* engine) : engine_(engine), records_(std::make_shared<Records>()) {}

LineFixture::~LineFixture() {
    bool wait = false;
    run_on_loop([&] {
        records_->abandoned = true;
        if (records_->info) records_->info->close();
        std::lock_guard<std::mutex> lock(records_->mtx);
        wait = records_->connected;
    });
    if (wait) wait_closed(3000);
    run_on_loop([&] { records_->info.reset(); });
}

bool LineFixture::connect(uint16_t port, const std::string& login_text, const std::string& host, uint32_t connid,
                          int timeout_ms) {
    std::shared_ptr<Records> records = records_;
    run_on_loop([&] {
        records->on_message = on_message;
        InterfaceLinkD* engine = engine_;
        auto client = std::make_shared<mynet::NetworkTcpClient>(host, port, 10000);
        client->onConnected([engine, records, connid, login_text](mynet::NetworkTcpClient*,
                                                                   mynet::NetworkTcpStream* stream) {
            if (records->abandoned) {
                stream->close();
                return;
            }
            auto info = std::make_shared<InterfaceLinkD::ConnInfo>();
            info->init();
            info->conn = stream;
            info->connid = connid;
            info->in_buf->flip();
            info->this2 = engine;
            engine->m_conn_info = info;
            records->info = info;
            info->conn_send_msg(login_text);
            info->login_time = mynet::mono_time_ms();
            stream->onData([engine, records, info](mynet::NetworkTcpStream* s, mynet::ByteBuffer& bb) {
                std::list<std::string> msgs;
                if (info->receive(bb, msgs) < 0) {
                    s->close();
                    return;
                }
                for (const std::string& m : msgs) {
                    handle(*engine, *info, m);
                    {
                        std::lock_guard<std::mutex> lock(records->mtx);
                        records->messages.push_back(m);
                    }
                    records->changed.notify_all();
                    if (records->on_message) records->on_message(*engine, *info, m);
                }
            });
            stream->onClosed([records, info](mynet::NetworkTcpStream*) {
                info->state = InterfaceLinkD::CONN_STATE_CLOSED;
                info->conn = nullptr;
                {
                    std::lock_guard<std::mutex> lock(records->mtx);
                    records->closed = true;
                    records->closed_at = mynet::mono_time_ms();
                }
                records->changed.notify_all();
            });
            {
                std::lock_guard<std::mutex> lock(records->mtx);
                records->connected = true;
            }
            records->changed.notify_all();
        });
        client->onConnFail([records](mynet::NetworkTcpClient*, int, std::string) {
            {
                std::lock_guard<std::mutex> lock(records->mtx);
                records->failed = true;
            }
            records->changed.notify_all();
        });
        client->connect();
    });
    std::unique_lock<std::mutex> lock(records->mtx);
    records->changed.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                              [&] { return records->connected || records->failed; });
    return records->connected;
}

void LineFixture::on_loop(const std::function<void(InterfaceLinkD&, Info&)>& f) {
    run_on_loop([&] { f(*engine_, records_->info); });
}

bool LineFixture::wait_on_loop(const std::function<bool(InterfaceLinkD&, Info&)>& pred, int timeout_ms) {
    return nuvra_test::wait_on_loop([&] { return pred(*engine_, records_->info); }, timeout_ms);
}

std::vector<std::string> LineFixture::messages() const {
    std::lock_guard<std::mutex> lock(records_->mtx);
    return records_->messages;
}

bool LineFixture::closed() const {
    std::lock_guard<std::mutex> lock(records_->mtx);
    return records_->closed;
}

bool LineFixture::wait_closed(int timeout_ms) const {
    std::unique_lock<std::mutex> lock(records_->mtx);
    return records_->changed.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] { return records_->closed; });
}

uint64_t LineFixture::closed_at_ms() const {
    std::lock_guard<std::mutex> lock(records_->mtx);
    return records_->closed_at;
}

}  // namespace nuvra_test
