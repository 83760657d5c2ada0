// The listener and the connection worker, with real loopback clients and a real window that
// receives the commands the worker posts.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include "tests/windows/message_pump.h"
#include "tests/windows/refusing_timer.h"
#include "tools/desktop/process_counts.h"

#include <atomic>
#include <string>
#include <vector>

#include "common/commands.h"
#include "common/messages.h"
#include "player/status_text.h"
#include "server/control_server.h"
#include "server/command_flow.h"
#include "server/replies.h"
#include "server/reply_queue.h"

namespace {

constexpr DWORD DEADLINE_MS = 10000;

struct Received {
    unsigned command;
    LPARAM argument;
    uint16_t generation;  // the connection it came from
    bool heard;  // whether a reply to it would still reach its client
};

std::vector<Received> received;
// While false the test window leaves the worker's marks untaken, as a busy main thread would.
bool take_marks = true;
std::vector<std::pair<WPARAM, LPARAM>> untaken_marks;

LRESULT CALLBACK test_window_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    if (message == WM_CLIENT_COMMAND) {
        const uint16_t generation = HIWORD(wparam);
        received.push_back({LOWORD(wparam), lparam, generation, reply_heard(generation)});
        return 0;
    }
    if (message == WM_CONNECTION_ENDED) {
        on_connection_ended(wparam, lparam);
        return 0;
    }
    if (message == WM_COMMANDS_TAKEN) {
        if (take_marks) {
            on_commands_taken(wparam, lparam);
        } else {
            untaken_marks.push_back({wparam, lparam});
        }
        return 0;
    }
    return DefWindowProcA(window, message, wparam, lparam);
}

// The marks held back so far, taken now in order: the worker goes on.
void take_held_marks()
{
    take_marks = true;
    for (const auto& mark : untaken_marks) {
        on_commands_taken(mark.first, mark.second);
    }
    untaken_marks.clear();
}

size_t count_of(unsigned command)
{
    size_t count = 0;
    for (const Received& r : received) {
        count += r.command == command ? 1 : 0;
    }
    return count;
}

bool seen(unsigned command)
{
    for (const Received& r : received) {
        if (r.command == command) {
            return true;
        }
    }
    return false;
}

int free_port()
{
    const SOCKET probe = create_listener(0);
    sockaddr_in address = {};
    int size = sizeof address;
    getsockname(probe, reinterpret_cast<sockaddr*>(&address), &size);
    closesocket(probe);
    return ntohs(address.sin_port);
}

// A client; receive_buffer, when given, is its system's receive buffer (set before it connects,
// so that its window is that small).
SOCKET connect_client(int port, int receive_buffer = 0)
{
    const SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    if (receive_buffer != 0) {
        setsockopt(s, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&receive_buffer), sizeof receive_buffer);
    }
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<u_short>(port));
    if (connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        closesocket(s);
        return INVALID_SOCKET;
    }
    const DWORD timeout = DEADLINE_MS;
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout), sizeof timeout);
    return s;
}

void send_text(SOCKET s, const std::string& text)
{
    ASSERT_EQ(send(s, text.data(), static_cast<int>(text.size()), 0), static_cast<int>(text.size()));
}

// The server ends this connection: the client reads end of stream (or a reset), not a time-out.
bool connection_dropped(SOCKET s)
{
    char byte;
    const int result = recv(s, &byte, 1, 0);
    return result == 0 || (result == SOCKET_ERROR && WSAGetLastError() != WSAETIMEDOUT);
}

// A status text of exactly length bytes that names its number: every reply can be told apart.
void set_numbered_status(int number, size_t length)
{
    std::string text = "reply " + std::to_string(number) + " ";
    text.resize(length, static_cast<char>('a' + number % 26));
    set_status_text(text.c_str());
}

std::string numbered_reply(int number, size_t length)
{
    set_numbered_status(number, length);
    return std::string(status_text) + "!";
}

// The connection the server replies on, with its system's send buffer made small, so that replies
// quickly outgrow what the systems hold.
SOCKET small_server_side()
{
    const SOCKET server_side = reply_socket(REPLY_TO_CURRENT);
    const int send_buffer = 2048;
    setsockopt(server_side, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&send_buffer), sizeof send_buffer);
    return server_side;
}

// Everything the client receives until the server ends its sending side.
std::string read_to_end(SOCKET s)
{
    std::string all;
    char buffer[4096];
    int got;
    while ((got = recv(s, buffer, sizeof buffer, 0)) > 0) {
        all.append(buffer, static_cast<size_t>(got));
    }
    return all;
}

// A client sends this many stop lines to a busy window, one that takes no marks, until the worker
// has posted all the marks allow: as many commands as may stand ahead of a menu choice.
SOCKET flood_a_busy_window(int port, size_t lines)
{
    take_marks = false;
    std::string batch;
    for (size_t i = 0; i < lines; ++i) {
        batch += "stop\n";
    }
    const SOCKET client = connect_client(port);
    send_text(client, batch);
    const size_t bound = (MARKS_IN_FLIGHT + 1) * COMMANDS_PER_MARK;
    EXPECT_TRUE(pump_until([&] { return received.size() == bound; })) << received.size();
    return client;
}

class ControlServer : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        WSADATA data;
        WSAStartup(MAKEWORD(1, 1), &data);
        WNDCLASSA window_class = {};
        window_class.lpfnWndProc = test_window_procedure;
        window_class.hInstance = GetModuleHandleA(nullptr);
        window_class.lpszClassName = "control_server_test";
        RegisterClassA(&window_class);
    }

    void SetUp() override
    {
        received.clear();
        take_marks = true;
        untaken_marks.clear();
        window = CreateWindowExA(0, "control_server_test", "", WS_OVERLAPPEDWINDOW, 0, 0, 0, 0, nullptr, nullptr,
            GetModuleHandleA(nullptr), nullptr);
        attach_server(window);
        port = free_port();
        restart_listener(port);
        ASSERT_TRUE(listening());
    }

    void TearDown() override
    {
        stop_worker();
        // The connection the stop ended is closed before the next test counts threads and handles.
        finish_parting();
        EXPECT_TRUE(worker_ended(0));
        EXPECT_FALSE(client_connected());
        DestroyWindow(window);
        pump();
    }

    HWND window = nullptr;
    int port = 0;
};

TEST_F(ControlServer, ServesOneClientAtATimeInArrivalOrder)
{
    const SOCKET first = connect_client(port);
    send_text(first, "stop\n");
    ASSERT_TRUE(pump_until([] { return seen(CMD_STOP); }));

    // The second is accepted into the backlog, but its line waits until the first leaves.
    const SOCKET second = connect_client(port);
    ASSERT_NE(second, INVALID_SOCKET);
    send_text(second, "next\n");
    send_text(first, "status\n");
    ASSERT_TRUE(pump_until([] { return seen(CMD_STATUS); }));
    EXPECT_FALSE(seen(CMD_NEXT));

    closesocket(first);
    ASSERT_TRUE(pump_until([] { return seen(CMD_NEXT); }));
    closesocket(second);
}

TEST_F(ControlServer, ReconnectingClientStartsWithAnEmptyLine)
{
    SOCKET client = connect_client(port);
    send_text(client, "sto");
    closesocket(client);

    client = connect_client(port);
    send_text(client, "p\nstatus\n");
    ASSERT_TRUE(pump_until([] { return seen(CMD_STATUS); }));
    ASSERT_EQ(received.size(), 1u) << "the unfinished line of the first connection was carried over";
    closesocket(client);
}

TEST_F(ControlServer, ATelnetSequenceSplitBetweenReceivesIsStillTakenOut)
{
    // A Telnet client's command, and its bare carriage return (CR NUL), may straddle two of its
    // sends. Each piece ends in a command that shows the worker has received it before the next
    // piece is sent: the filter's state must last as long as the connection, not one receive.
    const std::string iac = "\xFF", will_naws = "\xFB\x1F", nul(1, '\0');
    const SOCKET client = connect_client(port);
    send_text(client, "status\n" + iac);
    ASSERT_TRUE(pump_until([] { return seen(CMD_STATUS); }));
    send_text(client, will_naws + "stop\nplay\r");
    ASSERT_TRUE(pump_until([] { return seen(CMD_PLAY); }));
    send_text(client, nul + "next\nstatus\n");
    ASSERT_TRUE(pump_until([] { return count_of(CMD_STATUS) == 2; }));
    std::vector<unsigned> commands;
    for (const Received& r : received) {
        commands.push_back(r.command);
    }
    EXPECT_EQ(commands, (std::vector<unsigned>{CMD_STATUS, CMD_STOP, CMD_PLAY, CMD_NEXT, CMD_STATUS}))
        << "a line beside a split sequence was lost";
    closesocket(client);
}

TEST_F(ControlServer, AClientThatStopsSendingStillGetsItsReplies)
{
    // "printf 'status\n' | nc -q1 host port": the line, then the end of the client's sending
    // side at once. The command is carried out after the worker has seen the end, and its
    // reply must still find the connection.
    const SOCKET client = connect_client(port);
    send_text(client, "stop\nstatus\n");
    shutdown(client, SD_SEND);
    ASSERT_TRUE(pump_until([] { return received.size() == 2; }));
    EXPECT_TRUE(received[0].heard);
    EXPECT_TRUE(received[1].heard);
    ASSERT_TRUE(pump_until([] { return !client_connected(); }));
    EXPECT_TRUE(connection_dropped(client));
    closesocket(client);

    // And the worker goes on to serve the next client.
    const SOCKET next = connect_client(port);
    send_text(next, "eject\n");
    ASSERT_TRUE(pump_until([] { return seen(CMD_EJECT); }));
    closesocket(next);
}

TEST_F(ControlServer, RestartDropsTheClientAndServesTheNewPort)
{
    const SOCKET old_client = connect_client(port);
    send_text(old_client, "play\n");
    ASSERT_TRUE(pump_until([] { return seen(CMD_PLAY); }));

    const int new_port = free_port();
    restart_listener(new_port);
    EXPECT_TRUE(connection_dropped(old_client));
    closesocket(old_client);
    EXPECT_EQ(connect_client(port), INVALID_SOCKET) << "the old port still listens";

    const SOCKET client = connect_client(new_port);
    ASSERT_NE(client, INVALID_SOCKET);
    send_text(client, "eject\n");
    ASSERT_TRUE(pump_until([] { return seen(CMD_EJECT); }));
    closesocket(client);
}

TEST_F(ControlServer, StopEndsTheConnectionAfterItsRepliesAndThePortServesAgainAtOnce)
{
    // A client that closes when the server ends the connection (telnet, PuTTY, nc), and one that
    // neither reads nor closes: the stop waits for neither, the sockets' end waits a moment for
    // the silent one at most, and both get the reply sent before the stop, then the end.
    for (const bool closes_at_the_end : {true, false}) {
        SCOPED_TRACE(closes_at_the_end ? "a client that closes at the end" : "a silent client");
        const SOCKET client = connect_client(port);
        send_text(client, "status\n");
        ASSERT_TRUE(pump_until([] { return seen(CMD_STATUS); }));
        set_status_text("pause");
        send_reply(received.back().generation, status_text);

        DWORD start = GetTickCount();
        stop_worker();
        EXPECT_LT(GetTickCount() - start, DEADLINE_MS / 2);
        if (closes_at_the_end) {
            EXPECT_EQ(read_to_end(client), "pause!");
            closesocket(client);
        }
        start = GetTickCount();
        finish_parting();
        EXPECT_LT(GetTickCount() - start, DEADLINE_MS / 2);
        if (!closes_at_the_end) {
            EXPECT_EQ(read_to_end(client), "pause!");
            closesocket(client);
        }
        // The same port, at once.
        ASSERT_TRUE(restart_listener(port));
        received.clear();
    }
}

TEST_F(ControlServer, StopRightAfterAcceptNeverHangs)
{
    // A client that arrives while the stop closes the sockets is let go at once by the worker.
    for (int round = 0; round < 100; ++round) {
        const SOCKET client = connect_client(port);
        ASSERT_NE(client, INVALID_SOCKET);
        const DWORD start = GetTickCount();
        stop_worker();
        ASSERT_LT(GetTickCount() - start, DEADLINE_MS / 2) << "round " << round;
        closesocket(client);
        ASSERT_TRUE(restart_listener(port));
    }
}

TEST_F(ControlServer, RestartToAPortInUseChangesNothingAndTheOldPortServesOn)
{
    const int taken = free_port();
    const SOCKET other = create_listener(taken);
    ASSERT_NE(other, INVALID_SOCKET);
    // Held exclusively: a second listener on it is refused, as another program's would be.
    EXPECT_EQ(create_listener(taken), INVALID_SOCKET);

    const SOCKET client = connect_client(port);
    ASSERT_NE(client, INVALID_SOCKET);
    EXPECT_FALSE(restart_listener(taken));
    EXPECT_TRUE(listening());
    EXPECT_FALSE(worker_ended(0));
    // The connected client and the old port both go on being served.
    send_text(client, "status\n");
    EXPECT_TRUE(pump_until([&] { return received.size() == 1; }));
    closesocket(client);
    const SOCKET next = connect_client(port);
    EXPECT_NE(next, INVALID_SOCKET);
    closesocket(next);
    closesocket(other);
}

TEST_F(ControlServer, ManyConnectionsLeakNoHandleOrThread)
{
    // Settle the first connection's one-off allocations before counting.
    for (int round = 0; round < 2; ++round) {
        const SOCKET client = connect_client(port);
        send_text(client, "status\n");
        ASSERT_TRUE(pump_until([&] { return received.size() == static_cast<size_t>(round + 1); }));
        closesocket(client);
    }
    ASSERT_TRUE(pump_until([] { return !client_connected(); }));
    pump();
    const long handles_before = count_handles(GetCurrentProcessId());
    const long threads_before = count_threads(GetCurrentProcessId());
    ASSERT_GT(handles_before, 0);

    constexpr int CYCLES = 1000;
    for (int round = 0; round < CYCLES; ++round) {
        const SOCKET client = connect_client(port);
        ASSERT_NE(client, INVALID_SOCKET);
        send_text(client, "stop\n");
        const size_t expected = static_cast<size_t>(round + 3);
        ASSERT_TRUE(pump_until([&] { return received.size() == expected; })) << "round " << round;
        closesocket(client);
    }
    ASSERT_TRUE(pump_until([] { return !client_connected(); }));
    pump();

    EXPECT_LE(count_handles(GetCurrentProcessId()), handles_before + 5);
    EXPECT_EQ(count_threads(GetCurrentProcessId()), threads_before);
}

TEST_F(ControlServer, PipelinedLinesAllArriveInOrder)
{
    // More lines than a Windows thread's queue holds posted messages, sent before any is taken.
    // (Wine does not cap the queue, so here this shows order and completeness; on Windows the
    // worker's retry of a refused post is what keeps it so.)
    constexpr int LINES = 12000;
    std::string batch;
    for (int i = 1; i <= LINES; ++i) {
        batch += std::to_string(i) + "\n";
    }
    const SOCKET client = connect_client(port);
    send_text(client, batch);

    ASSERT_TRUE(pump_until([] { return received.size() == LINES; }, 60000)) << received.size() << " arrived";
    for (int i = 0; i < LINES; ++i) {
        ASSERT_EQ(received[i].command, CMD_PLAY);
        ASSERT_EQ(received[i].argument, i + 1) << "out of order or lost";
    }
    closesocket(client);
}

TEST_F(ControlServer, RepliesGoOnlyToTheConnectionACommandCameFrom)
{
    const SOCKET first = connect_client(port);
    send_text(first, "status\n");
    ASSERT_TRUE(pump_until([] { return received.size() == 1; }));
    const uint16_t first_generation = received[0].generation;
    EXPECT_NE(first_generation, REPLY_TO_CURRENT);
    EXPECT_TRUE(received[0].heard);

    // A port change drops the first client; a command of it still waiting has nobody to hear it,
    // also once the next client is connected.
    const int new_port = free_port();
    ASSERT_TRUE(restart_listener(new_port));
    closesocket(first);
    EXPECT_FALSE(reply_heard(first_generation));
    const SOCKET second = connect_client(new_port);
    send_text(second, "status\n");
    ASSERT_TRUE(pump_until([] { return received.size() == 2; }));
    EXPECT_NE(received[1].generation, first_generation);
    EXPECT_TRUE(received[1].heard);
    EXPECT_FALSE(reply_heard(first_generation));
    EXPECT_TRUE(reply_heard(REPLY_TO_CURRENT)) << "a command chosen at the machine answers whoever is connected";
    closesocket(second);
}

TEST_F(ControlServer, ABusyWindowHoldsAFloodingClientBack)
{
    // The window takes no marks: the worker posts a few commands, keeps at most its backlog, and
    // then stops receiving, so that the client's system stops taking its lines.
    take_marks = false;
    const SOCKET client = connect_client(port);
    const int send_buffer = 64 * 1024;
    setsockopt(client, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&send_buffer), sizeof send_buffer);
    u_long non_blocking = 1;
    ioctlsocket(client, FIONBIO, &non_blocking);
    std::string chunk;
    for (int i = 0; i < 4096; ++i) {
        chunk += "status\n";
    }
    constexpr size_t LIMIT = 64u << 20;
    size_t accepted = 0;
    int refused_in_a_row = 0;
    const DWORD start = GetTickCount();
    // Held back for good: refused twice, a moment apart. A send that takes only part of the chunk
    // is followed by the rest of it, so that the stream stays whole lines.
    while (refused_in_a_row < 2 && accepted < LIMIT && GetTickCount() - start < DEADLINE_MS) {
        const size_t from = accepted % chunk.size();
        const int result = send(client, chunk.data() + from, static_cast<int>(chunk.size() - from), 0);
        if (result > 0) {
            accepted += static_cast<size_t>(result);
            refused_in_a_row = 0;
            continue;
        }
        ASSERT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
        ++refused_in_a_row;
        pump();
        Sleep(100);
    }
    ASSERT_EQ(refused_in_a_row, 2) << accepted << " bytes taken";
    ASSERT_LT(accepted, 4u << 20) << "the program kept taking lines without carrying them out";
    pump();
    EXPECT_LE(received.size(), static_cast<size_t>((MARKS_IN_FLIGHT + 1) * COMMANDS_PER_MARK));

    // Once the window takes its marks again, every whole line sent is carried out, in order.
    const size_t lines = accepted / 7;
    take_held_marks();
    closesocket(client);
    ASSERT_TRUE(pump_until([&] { return received.size() == lines; }, 120000)) << received.size() << " of " << lines;
    EXPECT_EQ(count_of(CMD_STATUS), lines);
}

TEST_F(ControlServer, APortChangeKeepsTheCommandsAheadOfAMenuChoiceWithinTheBound)
{
    // A busy window: the worker has posted all the marks allow when the port changes. The new
    // worker counts the old one's marks, still waiting in the queue, so it posts no more.
    constexpr size_t LINES = 500;
    const SOCKET client = flood_a_busy_window(port, LINES);
    const size_t bound = received.size();
    ASSERT_TRUE(restart_listener(free_port()));
    closesocket(client);
    for (int i = 0; i < 20; ++i) {
        pump();
        Sleep(20);
    }
    EXPECT_EQ(received.size(), bound) << "more commands stand ahead of a menu choice than the bound";

    // Once the window takes the marks, the rest of what the first client sent is carried out.
    take_held_marks();
    ASSERT_TRUE(pump_until([&] { return received.size() == LINES; })) << received.size();
}

TEST_F(ControlServer, AMarkTakenWhileThePersonActsGoesOnWithoutItsTimer)
{
    // A mark that comes while input or paint waits is deferred to a timer; when the system refuses
    // the timer the worker must go on at once, or it would wait for ever.
    constexpr size_t LINES = 200;
    const SOCKET client = flood_a_busy_window(port, LINES);
    // Paint waits: the person at the machine comes first.
    SetWindowPos(window, nullptr, 0, 0, 100, 100, SWP_NOZORDER | SWP_NOACTIVATE | SWP_SHOWWINDOW);
    InvalidateRect(window, nullptr, TRUE);
    ASSERT_NE(HIWORD(GetQueueStatus(QS_PAINT)), 0);
    {
        const Refusal refusal;
        take_held_marks();
        ASSERT_TRUE(pump_until([&] { return received.size() == LINES; })) << received.size();
    }
    closesocket(client);
}

TEST_F(ControlServer, StrayPrivateMessagesChangeNothing)
{
    const SOCKET client = connect_client(port);
    send_text(client, "status\n");
    ASSERT_TRUE(pump_until([] { return received.size() == 1; }));
    // Marks far ahead, or of other workers, and hand-overs of connections the worker is not
    // handing over: as any program could post them.
    for (UINT epoch = 0; epoch < 8; ++epoch) {
        PostMessageA(window, WM_COMMANDS_TAKEN, 0xFFFFFFF0u, epoch);
        PostMessageA(window, WM_COMMANDS_TAKEN, 100000, epoch);
    }
    for (UINT_PTR socket = 0; socket < 4096; socket += 4) {
        PostMessageA(window, WM_CONNECTION_ENDED, socket, received[0].generation);
    }
    pump();
    EXPECT_TRUE(client_connected());

    // The worker still posts a flood in full and in order, and the connection still ends in turn.
    constexpr int LINES = 3000;
    std::string batch;
    for (int i = 1; i <= LINES; ++i) {
        batch += std::to_string(i) + "\n";
    }
    send_text(client, batch);
    ASSERT_TRUE(pump_until([] { return received.size() == LINES + 1; }, 60000)) << received.size();
    for (int i = 1; i <= LINES; ++i) {
        ASSERT_EQ(received[i].argument, i);
    }
    EXPECT_TRUE(received.back().heard);
    closesocket(client);
    ASSERT_TRUE(pump_until([] { return !client_connected(); }));
}

}  // namespace

namespace {

// The replies a test thread sends as the main thread would, on a thread of its own, so that the
// test sees a reply that waits for the client, and can end the wait, instead of hanging in it.
struct DeafReplies {
    static constexpr int MOST = 5000;
    static constexpr size_t LENGTH = 500;
    int sent = 0;
    DWORD longest_ms = 0;
};

DWORD WINAPI reply_until_stopped(LPVOID context)
{
    DeafReplies* replies = static_cast<DeafReplies*>(context);
    while (replies->sent < DeafReplies::MOST && reply_heard(REPLY_TO_CURRENT)) {
        set_numbered_status(replies->sent, DeafReplies::LENGTH);
        const DWORD start = GetTickCount();
        send_reply(REPLY_TO_CURRENT, status_text);
        const DWORD took = GetTickCount() - start;
        replies->longest_ms = took > replies->longest_ms ? took : replies->longest_ms;
        ++replies->sent;
    }
    return 0;
}

}  // namespace

TEST_F(ControlServer, AClientThatDoesNotReadNeitherHoldsRepliesUpNorGetsThemForEver)
{
    const SOCKET client = connect_client(port, 1024);
    send_text(client, "status\n");
    ASSERT_TRUE(pump_until([] { return seen(CMD_STATUS); }));
    small_server_side();

    DeafReplies replies;
    const HANDLE thread = CreateThread(nullptr, 0, reply_until_stopped, &replies, 0, nullptr);
    const bool returned = pump_until([&] { return WaitForSingleObject(thread, 0) == WAIT_OBJECT_0; }, 30000);
    if (!returned) {
        // A reply waits for the client: a reset ends the wait, and the test fails.
        closesocket(client);
        WaitForSingleObject(thread, INFINITE);
    }
    CloseHandle(thread);
    ASSERT_TRUE(returned) << "a reply waited for a client that does not read";
    EXPECT_LT(replies.longest_ms, 1000u) << "a reply waited for the client";
    EXPECT_FALSE(reply_heard(REPLY_TO_CURRENT)) << "replies went on to a client that reads nothing";
    // Replies stop once the waiting ones would pass the bound, not before, and not long after.
    const size_t bytes = static_cast<size_t>(replies.sent) * (DeafReplies::LENGTH + 1);
    EXPECT_GT(bytes, REPLY_QUEUE_BYTES);
    EXPECT_LT(bytes, REPLY_QUEUE_BYTES + (1u << 20));

    // The client still gets what was kept for it, whole replies in order, and then the end of
    // what the server sends; its commands are still carried out.
    const std::string all = read_to_end(client);
    ASSERT_EQ(all.size() % (DeafReplies::LENGTH + 1), 0u) << "a reply was cut";
    const int whole = static_cast<int>(all.size() / (DeafReplies::LENGTH + 1));
    EXPECT_GT(whole, 0);
    for (int i = 0; i < whole; ++i) {
        ASSERT_EQ(
            all.substr(i * (DeafReplies::LENGTH + 1), DeafReplies::LENGTH + 1), numbered_reply(i, DeafReplies::LENGTH))
            << "reply " << i;
    }
    send_text(client, "stop\n");
    ASSERT_TRUE(pump_until([] { return seen(CMD_STOP); }));
    closesocket(client);
}

namespace {

struct SlowReader {
    SOCKET client;
    std::string received;
    std::atomic<size_t> count{0};
};

DWORD WINAPI read_slowly(LPVOID context)
{
    SlowReader* reader = static_cast<SlowReader*>(context);
    char buffer[300];
    int got;
    while ((got = recv(reader->client, buffer, sizeof buffer, 0)) > 0) {
        reader->received.append(buffer, static_cast<size_t>(got));
        reader->count.store(reader->received.size());
        Sleep(1);
    }
    return 0;
}

}  // namespace

TEST_F(ControlServer, AClientThatReadsSlowlyGetsEveryReplyWholeInOrderOnce)
{
    constexpr size_t LENGTH = 700;
    constexpr int ROUNDS = 12;
    constexpr int BURST = 25;  // about 17 KiB at a time: far beyond what the systems hold
    SlowReader reader;
    reader.client = connect_client(port, 1024);
    send_text(reader.client, "status\n");
    ASSERT_TRUE(pump_until([] { return seen(CMD_STATUS); }));
    small_server_side();
    const HANDLE thread = CreateThread(nullptr, 0, read_slowly, &reader, 0, nullptr);

    std::string expected;
    int number = 0;
    for (int round = 0; round < ROUNDS; ++round) {
        for (int i = 0; i < BURST; ++i, ++number) {
            expected += numbered_reply(number, LENGTH);
            const DWORD start = GetTickCount();
            send_reply(REPLY_TO_CURRENT, status_text);
            ASSERT_LT(GetTickCount() - start, 1000u) << "a reply waited for the client";
        }
        ASSERT_TRUE(reply_heard(REPLY_TO_CURRENT)) << "round " << round;
        // The worker sends the rest while the client reads it.
        ASSERT_TRUE(pump_until([&] { return reader.count.load() >= expected.size(); }, 30000))
            << reader.count.load() << " of " << expected.size() << " bytes in round " << round;
    }
    shutdown(reader.client, SD_SEND);
    ASSERT_TRUE(pump_until([] { return !client_connected(); }));
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    ASSERT_EQ(reader.received.size(), expected.size()) << "bytes lost or repeated";
    for (size_t at = 0; at < expected.size(); at += LENGTH + 1) {
        ASSERT_EQ(reader.received.substr(at, LENGTH + 1), expected.substr(at, LENGTH + 1))
            << "reply " << at / (LENGTH + 1);
    }
    closesocket(reader.client);
}
