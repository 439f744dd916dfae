// The plug-in under load: host threads issue requests 4 to 10 against random objects,
// properties and operations and collect events, while the worker polls a drive state that
// changes on every pass (drives removed and added, warnings set and cleared, temperatures
// moving). A model of the drives predicts the events of every pass: each must reach the host
// exactly once and in order, and the rows must match the final picture.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <iostream>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "HostDriver.h"

namespace {

constexpr int kPasses = 150;
constexpr int kHostThreads = 3;
constexpr size_t kDrives = 4;
constexpr uint64_t kPluginObject = 309ULL << 48;  // the plug-in object is the first object made

// The warning word the plug-in computes: the drive's own bits and its temperature bits.
uint32_t WarningWord(const isdct::Drive& drive) {
  const int64_t t = drive.temperature - drive.temperatureOffset;
  uint32_t word = static_cast<uint32_t>(drive.criticalWarnings);
  if (t >= 78 && t <= 79) word |= 0x20;
  if (t >= 80 && t <= 83) word |= 0x40;
  if (t >= 84) word |= 0x80;
  if (t >= 80) word |= 0x200;
  return word;
}

// The events a full pass creates, from the adapters known before it (serial -> warning word, in
// list order) and the drives present now.
std::vector<uint32_t> PassEvents(const std::vector<std::pair<std::string, uint32_t>>& known,
                                 const std::vector<isdct::Drive>& present) {
  static constexpr std::pair<uint32_t, uint32_t> kBitEvents[] = {
      {16, 10957}, {4, 11088}, {64, 10959}, {128, 10960}, {32, 10967}, {512, 10962}, {1, 10968}};
  std::vector<uint32_t> created;
  for (const isdct::Drive& drive : present) {
    const auto old = std::find_if(known.begin(), known.end(),
                                  [&](const auto& k) { return k.first == drive.serial; });
    if (old == known.end()) {
      created.push_back(11093);
      continue;
    }
    const uint32_t before = old->second, now = WarningWord(drive);
    for (const auto& [bit, code] : kBitEvents)
      if ((before & bit) == 0 && (now & bit) != 0) created.push_back(code);
    if (before != 0 && now == 0) created.push_back(10980);
  }
  for (const auto& [serial, word] : known) {
    const bool stays = std::any_of(present.begin(), present.end(),
                                   [&](const isdct::Drive& d) { return d.serial == serial; });
    if (!stays) created.push_back(11094);
  }
  std::reverse(created.begin(), created.end());  // handed over last created first
  return created;
}

struct Event {
  uint64_t time;
  uint32_t code;
  bool operator==(const Event& o) const { return time == o.time && code == o.code; }
};
std::ostream& operator<<(std::ostream& out, const Event& e) {
  return out << e.code << "@" << e.time;
}

class StressTest : public ::testing::Test {
 protected:
  StressTest() : host_(home_, "two-drives.json", kDrives) {
    host_.ChangeState([](isdct::State& state) {
      // Four drives: the fixture's two and a copy of each.
      for (size_t i = 0; i < 2; ++i) {
        isdct::Drive copy = state.drives[i];
        copy.index = static_cast<int64_t>(state.drives.size());
        copy.serial += "X";
        state.drives.push_back(copy);
      }
    });
    all_ = host_.State().drives;
  }

  // Host side -------------------------------------------------------------------------------

  static void OnNotify(uint64_t context, IPLUGINAPI* plugin) {
    auto* self = reinterpret_cast<StressTest*>(context);
    std::vector<PI::CObject> objects;
    // A host reads the tree from the callback.
    EXPECT_EQ(0u, plugin->Request(REQ_GET_TOPOLOGY, 0, &objects));
    self->CheckTopology(objects);
    ++self->notified_;
  }

  // One consistent picture: the plug-in object, its adapters in order, one drive under each.
  void CheckTopology(const std::vector<PI::CObject>& objects) {
    ASSERT_FALSE(objects.empty());
    ASSERT_EQ(19006u, objects[0].m_Type);
    std::vector<uint64_t> adapters;
    std::set<uint64_t> drives;
    std::map<uint64_t, uint64_t> driveParent;
    for (size_t i = 1; i < objects.size(); ++i) {
      const PI::CObject& object = objects[i];
      if (object.m_Type == 19038) {
        adapters.push_back(object.m_ID);
        EXPECT_EQ(std::vector<uint64_t>{objects[0].m_ID}, object.m_Parents);
        ASSERT_EQ(1u, object.m_Children.size());
      } else {
        ASSERT_EQ(19018u, object.m_Type);
        drives.insert(object.m_ID);
        ASSERT_EQ(1u, object.m_Parents.size());
        driveParent[object.m_ID] = object.m_Parents[0];
      }
    }
    EXPECT_EQ(adapters, objects[0].m_Children);
    EXPECT_EQ(adapters.size(), drives.size());
    for (size_t i = 1; i <= adapters.size() && i < objects.size(); ++i) {
      EXPECT_EQ(1u, drives.count(objects[i].m_Children[0]));
      EXPECT_EQ(objects[i].m_ID, driveParent[objects[i].m_Children[0]]);
    }
  }

  void KeepEvents(const std::vector<PI::CEvent>& events) {
    if (events.empty()) return;
    std::vector<Event> batch;
    for (const PI::CEvent& e : events) batch.push_back({e.m_Time, e.m_Code});
    std::lock_guard<std::mutex> lock(eventsMutex_);
    batches_.push_back(batch);
  }

  // One host thread: random requests until told to stop.
  void IssueRequests(unsigned seed) {
    std::mt19937 random(seed);
    auto pick = [&](auto... values) {
      const uint64_t choices[] = {static_cast<uint64_t>(values)...};
      return choices[random() % sizeof...(values)];
    };
    std::vector<uint64_t> known = {kPluginObject};
    IPLUGINAPI* plugin = host_.Plugin();
    while (!stop_) {
      const int code = 4 + static_cast<int>(random() % 7);
      const uint64_t id = random() % 8 == 0 ? random() : known[random() % known.size()];
      uint32_t result = 0;
      switch (code) {
        case 4: {
          std::vector<PI::CObject> objects;
          result = plugin->Request(REQ_GET_TOPOLOGY, 0, &objects);
          CheckTopology(objects);
          known.clear();
          for (const PI::CObject& object : objects) known.push_back(object.m_ID);
          break;
        }
        case 5: {
          std::vector<PI::CProperty> properties;
          result = plugin->Request(REQ_GET_PROPERTIES, id, &properties);
          break;
        }
        case 6: {
          PI::CProperty property;
          property.m_ID = static_cast<PI::_PROPERTY_ID>(
              pick(1, 30003, 30005, 30007, 30017, 30022, 30069, 30442, 30489, 99999));
          result = plugin->Request(REQ_GET_PROPERTY, id, &property);
          break;
        }
        case 7: {
          // The poll interval is left to the driving thread, which must know the worker's wait.
          PI::CProperty property(static_cast<PI::_PROPERTY_ID>(pick(30007, 30022, 1)), true);
          property.SetValue(std::string("x"));
          result = plugin->Request(REQ_SET_PROPERTY, id, &property);
          break;
        }
        case 8: {
          std::vector<PI::COperation> operations;
          result = plugin->Request(REQ_GET_OPERATIONS, id, &operations);
          break;
        }
        case 9:
        case 10: {
          PI::COperation operation;
          operation.m_ID = static_cast<uint32_t>(pick(50002, 50002, 50026, 1));
          result = plugin->Request(code, id, &operation);
          if (code == 10 && id == kPluginObject && operation.m_ID == 50002)
            KeepEvents(operation.GetEvents());
          break;
        }
      }
      static const std::set<uint32_t> kAnswers = {0, 20000, 20004, 20005, 20008, 20042};
      EXPECT_EQ(1u, kAnswers.count(result)) << "request " << code << " gave " << result;
      ++requests_;
      std::this_thread::yield();
    }
  }

  // Driving side -----------------------------------------------------------------------------

  std::vector<isdct::Drive> Present(size_t count) const {
    return std::vector<isdct::Drive>(all_.begin(), all_.begin() + count);
  }

  TestHome home_;
  HostDriver host_;
  std::vector<isdct::Drive> all_;  // the drives in their order; the first `present` are in

  std::atomic<bool> stop_{false};
  std::atomic<int> requests_{0};
  std::atomic<int> notified_{0};
  std::mutex eventsMutex_;
  std::vector<std::vector<Event>> batches_;  // guarded by eventsMutex_
};

TEST_F(StressTest, EveryImpliedEventReachesTheHostOnceAndInOrder) {
  const unsigned seed = 20261206;
  std::mt19937 random(seed);
  host_.Create();
  host_.Plugin()->m_CallbackContext = reinterpret_cast<uint64_t>(this);
  host_.Plugin()->m_Callback = &StressTest::OnNotify;
  ASSERT_EQ(0u, host_.Initialize());
  host_.StartWorker();
  host_.CollectEvents();

  std::vector<std::thread> threads;
  for (int i = 0; i < kHostThreads; ++i)
    threads.emplace_back([this, seed, i] { IssueRequests(seed + 1 + static_cast<unsigned>(i)); });

  size_t present = kDrives;
  // The adapters as the last full pass left them: serial and warning word, in list order.
  std::vector<std::pair<std::string, uint32_t>> known;
  auto knowPresent = [&] {
    known.clear();
    for (const isdct::Drive& drive : Present(present))
      known.emplace_back(drive.serial, WarningWord(drive));
  };
  knowPresent();
  std::vector<Event> expected;
  int fullPasses = 0, lightPasses = 0, pdInserts = static_cast<int>(kDrives);

  for (int pass = 0; pass < kPasses; ++pass) {
    // Temperatures move on every pass; some drives raise or clear warnings.
    static constexpr int64_t kWarnings[] = {0, 0, 1, 4, 16, 17};
    for (isdct::Drive& drive : all_) {
      const int64_t step = static_cast<int64_t>(random() % 17) - 8;
      drive.temperature = std::clamp<int64_t>(drive.temperature + step, 25, 95);
      if (random() % 6 == 0) drive.criticalWarnings = kWarnings[random() % 6];
    }
    // Every fourth pass or so the last drive goes or the next one comes back (drives keep their
    // places on the bus, so the others keep their locations).
    const bool topology = random() % 4 == 0;
    if (topology) {
      if (present == 0 || (present < kDrives && random() % 2 == 0))
        ++present;
      else
        --present;
    }
    host_.ChangeState([&](isdct::State& state) { state.drives = Present(present); });

    bool full = topology;
    for (const isdct::Drive& drive : Present(present)) {
      const auto old = std::find_if(known.begin(), known.end(),
                                    [&](const auto& k) { return k.first == drive.serial; });
      if (old != known.end() && old->second != WarningWord(drive)) full = true;
    }
    if (topology) {
      host_.Clock().Advance(1);  // every pass at a time of its own
      host_.ForceFullPass();
    } else {
      host_.Poll();
    }
    const uint64_t now = host_.Clock().Now();
    if (!full) {
      ++lightPasses;
      continue;
    }
    ++fullPasses;
    for (uint32_t code : PassEvents(known, Present(present))) {
      expected.push_back({now, code});
      pdInserts += code == 11093;
    }
    knowPresent();

    if (pass % 10 == 9) {  // the host sets the poll interval; the worker is woken by it
      const int before = notified_;
      PI::CProperty interval(PI::PROP_POLL_INTERVAL, true);
      interval.SetValue(static_cast<int32_t>(random() % 5), 2, 255, 1);
      EXPECT_EQ(0u, host_.Plugin()->Request(REQ_SET_PROPERTY, kPluginObject, &interval));
      for (int i = 0; i < 6000 && notified_ == before; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      ASSERT_GT(notified_, before);
      ASSERT_TRUE(host_.Clock().WaitForSleepers(1, 60000));
    }
  }

  stop_ = true;
  for (std::thread& thread : threads) thread.join();
  KeepEvents(host_.CollectEvents());
  EXPECT_EQ(0u, host_.Stop());

  // Batches hold whole passes; ordered by time they must give the predicted sequence.
  std::sort(batches_.begin(), batches_.end(),
            [](const auto& a, const auto& b) { return a.front().time < b.front().time; });
  std::vector<Event> received;
  for (const auto& batch : batches_) received.insert(received.end(), batch.begin(), batch.end());
  EXPECT_EQ(expected, received);

  // The rows: the plug-in, one adapter row per adapter now known (with its object), and every
  // drive row ever inserted (drive rows are never removed).
  EXPECT_EQ(1, home_.CountRows("Plugin"));
  std::set<std::vector<std::string>> adapters;
  for (const auto& adapter : host_.Impl().m_Adapters)
    adapters.insert({adapter.m_SerialNumber, std::to_string(adapter.GetID())});
  const auto rows = home_.QueryDb("SELECT SerialNumber, ObjectID FROM Adapter");
  EXPECT_EQ(adapters, std::set<std::vector<std::string>>(rows.begin(), rows.end()));
  EXPECT_EQ(rows.size(), adapters.size());
  EXPECT_EQ(pdInserts, home_.CountRows("PD"));
  EXPECT_TRUE(ChildProcesses().empty());

  std::cout << "stress: " << kPasses << " passes (" << fullPasses << " full, " << lightPasses
            << " light), " << requests_ << " host requests, " << notified_ << " notifications, "
            << received.size() << " events in " << batches_.size() << " batches\n";
  RecordProperty("requests", requests_.load());
  RecordProperty("events", static_cast<int>(received.size()));
}

}  // namespace
