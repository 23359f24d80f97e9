// The bus without a broker: bad configuration files, the MES's answers,
// and the outbox kept with the record.
#include <gtest/gtest.h>

#include <fstream>

#include "bus/cfx.h"
#include "bus/config.h"
#include "fixtures.h"
#include "results/store.h"

namespace {

std::string write(const std::string &dir, const std::string &name, const std::string &text) {
    std::string p = dir + "/" + name;
    std::ofstream(p) << text;
    return p;
}

const char kGood[] = "[broker]\nurl = \"amqp://127.0.0.1:5672\"\ncredentials = \"cred\"\n"
                     "[station]\nhandle = \"acme.rfprobe.st1\"\npublish = \"/queue/cfx\"\n"
                     "[route_check]\nmode = \"enforced\"\nrequest = \"/queue/mes\"\ntimeout = 1.5\n";

TEST(BusConfig, ReadsAFileAndRefusesEachMistakeByName) {
    std::string dir = fixtures::tempDir();
    write(dir, "cred", "station1:s3cret\n");
    bus::Config c = bus::readConfig(write(dir, "good.toml", kGood));
    EXPECT_EQ(c.user, "station1");
    EXPECT_EQ(c.password, "s3cret");
    EXPECT_EQ(c.mode, bus::RouteMode::Enforced);
    EXPECT_EQ(c.replies, "/queue/acme.rfprobe.st1.replies");
    EXPECT_DOUBLE_EQ(c.routeTimeoutS, 1.5);
    struct Case {
        std::string from, to, message;
    } cases[] = {
        {"amqp://127.0.0.1:5672", "http://x", "broker.url: http://x is not an amqp://"},
        {"amqp://127.0.0.1:5672", "amqp://u:p@h", "give the user and password in broker.credentials"},
        {"\"cred\"", "\"missing\"", "broker.credentials: cannot read"},
        {"handle = \"acme.rfprobe.st1\"\n", "", "station.handle: missing"},
        {"\"enforced\"", "\"strict\"", "route_check.mode: strict: give off, advisory or enforced"},
        {"request = \"/queue/mes\"\n", "", "route_check.request: missing"},
        {"timeout = 1.5", "timeout = 0", "route_check.timeout: give seconds"},
        {"[station]", "[stations]", "stations: unknown table"},
        {"publish", "publsh", "station.publsh: unknown key"},
        {"[broker]", "[broker", "good.toml:1"},
    };
    for (const Case &k : cases) {
        std::string text = kGood;
        text.replace(text.find(k.from), k.from.size(), k.to);
        try {
            bus::readConfig(write(dir, "good.toml", text));
            ADD_FAILURE() << "accepted: " << k.to;
        } catch (const bus::ConfigError &e) {
            EXPECT_NE(std::string(e.what()).find(k.message), std::string::npos) << e.what();
        }
    }
    write(dir, "cred", "no colon\n");
    EXPECT_THROW(bus::readConfig(write(dir, "good.toml", kGood)), bus::ConfigError);
    fixtures::removeTree(dir);
}

std::string response(const std::string &about, const std::string &result, const std::string &message,
                     const std::string &requestResult = "Success") {
    return std::string("{\"MessageName\":\"") + bus::kValidateResponse + "\",\"RequestID\":\"r1\",\"MessageBody\":{" +
           "\"Result\":{\"Result\":\"" + requestResult + "\",\"Message\":\"db down\"}," +
           "\"PrimaryResult\":{\"UniqueIdentifier\":\"" + about + "\",\"Result\":\"" + result +
           "\",\"FailureCode\":7,\"Message\":\"" + message + "\"}}}";
}

TEST(BusRouteAnswer, EachAnswerIsReadOrRefusedWithItsReason) {
    struct Case {
        std::string json;
        bool readable, passed;
        std::string text;  // the reason, or why it cannot be used
    } cases[] = {
        {response("SN1", "Passed", "OK"), true, true, "OK"},
        {response("SN1", "Failed", "SN1 is on hold"), true, false, "SN1 is on hold (failure code 7)"},
        {response("SN1", "Passed", "", "Failed"), true, false, "the MES could not check the route: db down"},
        {response("SN2", "Passed", "OK"), false, false, "for another serial (SN2)"},
        {response("SN1", "Maybe", "OK"), false, false, "PrimaryResult.Result Maybe"},
        {"{not json", false, false, "malformed ValidateUnitsResponse (not a JSON object)"},
        {"{\"MessageName\":\"CFX.Production.WorkStarted\"}", false, false, "not a ValidateUnitsResponse"},
        {std::string("{\"MessageName\":\"") + bus::kValidateResponse + "\",\"MessageBody\":{}}", false, false,
         "no MessageBody.PrimaryResult"},
    };
    for (const Case &k : cases) {
        bus::RouteAnswer a;
        std::string why;
        bool ok = bus::readValidateResponse(k.json, "SN1", &a, &why);
        EXPECT_EQ(ok, k.readable) << k.json;
        if (ok) {
            EXPECT_EQ(a.passed, k.passed) << k.json;
            EXPECT_EQ(a.reason, k.text);
        } else {
            EXPECT_NE(why.find(k.text), std::string::npos) << why;
        }
    }
    EXPECT_EQ(bus::requestIdOf(response("SN1", "Passed", "OK")), "r1");
}

// The outbox: queued with the record in its transaction (in the spool when
// the store cannot take the record), once however often the record is
// written, read in order, dropped once sent, with stable ids.
TEST(BusOutbox, MessagesGoWithTheirRecordAndLeaveOnlyWhenSent) {
    std::string dir = fixtures::tempDir();
    write(dir, "cred", "u:p\n");
    bus::Config c = bus::readConfig(write(dir, "bus.toml", kGood));
    results::OpenOptions o;
    o.spoolPath = dir + "/spool.db";
    bool failStore = false;
    int commits = 0;
    o.beforeCommit = [&](const results::Record &) {
        if (failStore && commits++ == 0) throw results::StoreError("disk full");
    };
    auto store = results::Store::open(dir + "/r.db", o);
    fixtures::Shape s1, s2;
    s2.serial = "SN0002";
    s2.second = 5;
    results::Record r1 = fixtures::makeRecord(s1), r2 = fixtures::makeRecord(s2);
    std::vector<results::BusMessage> m1 = bus::recordMessages(c, r1);
    EXPECT_EQ(m1[1].id, bus::recordMessages(c, r1)[1].id);  // stable
    store->write(r1, m1);
    store->write(r1, m1);  // the same record again: nothing more queued
    failStore = true;
    EXPECT_TRUE(store->write(r2, bus::recordMessages(c, r2)).spooled);
    std::vector<results::BusMessage> w = store->busWaiting("", 100);
    ASSERT_EQ(w.size(), 6u);
    std::vector<std::string> order;
    for (const auto &m : w) order.push_back(m.recordId.substr(0, 4) + " " + m.name + (m.inSpool ? " spool" : ""));
    std::string a = r1.id.substr(0, 4), b = r2.id.substr(0, 4);
    EXPECT_EQ(order, (std::vector<std::string>{a + " " + bus::kWorkStarted, a + " " + bus::kUnitsTested,
                                               a + " " + bus::kWorkCompleted, b + " " + bus::kWorkStarted + " spool",
                                               b + " " + bus::kUnitsTested + " spool",
                                               b + " " + bus::kWorkCompleted + " spool"}));
    store->busFailed(w[0], "broker down");
    store->busSent({w.begin(), w.begin() + 4});
    EXPECT_EQ(store->busDepth(), 2u);
    EXPECT_EQ(store->busWaiting("other-station", 10).size(), 0u);
    w = store->busWaiting(r2.station, 10);
    ASSERT_EQ(w.size(), 2u);
    EXPECT_EQ(w[0].name, bus::kUnitsTested);
    fixtures::removeTree(dir);
}

}  // namespace
