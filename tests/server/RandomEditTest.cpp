// Random editing sessions against a live server. One client makes a few hundred random
// edits (valid and invalid, on known, deleted and unknown identifiers) and builds its view
// of the solution only from what the server tells it. After a restart a fresh client opens
// everything: both views must be the same, so every stored change was broadcast and every
// broadcast change was stored.
#include <gtest/gtest.h>

#include <array>
#include <optional>
#include <filesystem>
#include <map>
#include <random>
#include <thread>

#include "server/RSeqClient.h"
#include "support/RandomEditor.h"
#include "server/RSeqServer.h"
#include "support/LogCapture.h"
#include "support/Net.h"
#include "support/TempDir.h"

using namespace DUve;
using namespace DUve::Sequencer;
using namespace DUve::Sequencer::CProtocol;
using namespace std::chrono_literals;
namespace P = DUve::CRSeq::Property;
using PalvorTest::CRandomEditor;
using PalvorTest::CView;
using PalvorTest::Diff;
using PalvorTest::OpenEverything;

namespace {

// What a fresh client sees of the solution once a new server has opened its files.
std::optional<CView> ServedAfterRestart(const PalvorTest::CLogCapture& log, uint32_t solution,
                                        const std::filesystem::path& folder) {
    CRSeqServer server(log.Senders(), solution, folder);
    auto [mine, theirs] = PalvorTest::TcpPair();
    server.AddUser(theirs);
    CRSeqClient fresh;
    fresh.Adopt(mine);
    const auto greeting = fresh.Receive(5s);
    if (!greeting) return std::nullopt;
    CView stored;
    stored.Apply(*greeting);
    if (!OpenEverything(fresh, stored)) return std::nullopt;
    return stored;
}

void ExpectSameView(const CView& view, const CView& stored, const std::string& who) {
    EXPECT_TRUE(view.sequences == stored.sequences) << who << Diff(view.sequences, stored.sequences);
    EXPECT_TRUE(view.tracks == stored.tracks) << who << Diff(view.tracks, stored.tracks);
    EXPECT_TRUE(view.ports == stored.ports) << who << Diff(view.ports, stored.ports);
    EXPECT_TRUE(view.events == stored.events) << who << Diff(view.events, stored.events);
}

}  // namespace

class RandomEdits : public ::testing::TestWithParam<uint32_t> {};

TEST_P(RandomEdits, WhatAClientWasToldIsWhatTheServerStored) {
    PalvorTest::CTempDir dir;
    PalvorTest::CLogCapture log;
    CView told;
    size_t peak[4] = {};
    {
        CRSeqServer server(log.Senders(), 3, dir.Path());
        auto [mine, theirs] = PalvorTest::TcpPair();
        server.AddUser(theirs);
        CRSeqClient client;
        client.Adopt(mine);
        ASSERT_TRUE(client.Receive(5s));
        CRandomEditor editor(GetParam());
        for (int i = 0; i < 1500; ++i) {
            const auto frame = editor.Next();
            const auto got = client.Request(frame);
            ASSERT_TRUE(got) << "edit " << i << ": " << client.Error();
            told.Apply(*got);
            editor.Learn(told);
            const size_t sizes[] = {told.sequences.size(), told.tracks.size(), told.ports.size(),
                                    told.events.size()};
            for (size_t k = 0; k < 4; ++k) peak[k] = std::max(peak[k], sizes[k]);
        }
    }
    // Enough was alive at some point for the comparison to mean something.
    EXPECT_GE(peak[0], 3u);
    EXPECT_GE(peak[1], 3u);
    EXPECT_GE(peak[2], 3u);
    EXPECT_GE(peak[3], 20u);

    const auto stored = ServedAfterRestart(log, 3, dir.Path());
    ASSERT_TRUE(stored);
    ExpectSameView(told, *stored, "");
}

INSTANTIATE_TEST_SUITE_P(Seeds, RandomEdits, ::testing::Values(1u, 20261209u, 4242u));

// Two clients edit at the same time, each from its own thread and with its own view. Once
// both have opened every sequence they know of, each view is what a fresh client sees
// after a restart.
TEST(RandomEditsTogether, EveryClientEndsWithTheStoredSolution) {
    PalvorTest::CTempDir dir;
    PalvorTest::CLogCapture log;
    CView views[2];
    {
        CRSeqServer server(log.Senders(), 5, dir.Path());
        CRSeqClient clients[2];
        for (auto& client : clients) {
            auto [mine, theirs] = PalvorTest::TcpPair();
            server.AddUser(theirs);
            client.Adopt(mine);
        }
        std::string errors[2];
        auto edit = [&](int k) {
            const auto greeting = clients[k].Receive(5s);
            if (!greeting) return void(errors[k] = "no greeting");
            views[k].Apply(*greeting);
            CRandomEditor editor(1000u + static_cast<uint32_t>(k));
            for (int i = 0; i < 800; ++i) {
                const auto got = clients[k].Request(editor.Next());
                if (!got) return void(errors[k] = "edit " + std::to_string(i) + ": " + clients[k].Error());
                views[k].Apply(*got);
                editor.Learn(views[k]);
            }
        };
        std::thread other(edit, 1);
        edit(0);
        other.join();
        ASSERT_EQ(errors[0], "");
        ASSERT_EQ(errors[1], "");
        for (int k = 0; k < 2; ++k) {
            // What the other client did after this one's last edit is still on its way:
            // take it in first, or sequences created meanwhile would stay unopened.
            const auto pending = clients[k].Request({});
            ASSERT_TRUE(pending);
            views[k].Apply(*pending);
            ASSERT_TRUE(OpenEverything(clients[k], views[k]));
        }
    }
    const auto stored = ServedAfterRestart(log, 5, dir.Path());
    ASSERT_TRUE(stored);
    EXPECT_GE(stored->tracks.size() + stored->ports.size() + stored->events.size(), 10u);
    for (int k = 0; k < 2; ++k) ExpectSameView(views[k], *stored, "client " + std::to_string(k) + ": ");
}
