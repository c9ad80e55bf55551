// The stand-in monitor against the receiver: heart rate reports once a
// second of signal with signal-time stamps, and the asystole alarm at 4 s.
#include <gtest/gtest.h>

#include <cmath>
#include <mutex>
#include <vector>

#include "emulator/virtual_monitor.h"
#include "hl7/mllp_receiver.h"

namespace orna {
namespace {

TEST(VirtualMonitor, ReportsRateEverySecondAndAsystoleAfterFourSeconds) {
  std::mutex lock;
  std::vector<hl7::Content> got;
  hl7::MllpReceiver receiver;
  hl7::ReceiverOptions ro;
  ro.on_message = [&](const hl7::Content& c, const hl7::Outcome& o) {
    ASSERT_EQ(o.code, hl7::AckCode::AA) << o.reason;
    std::lock_guard<std::mutex> hold(lock);
    got.push_back(c);
  };
  std::string error;
  ASSERT_TRUE(receiver.Start(ro, &error)) << error;
  emu::MonitorConfig mc;
  mc.port = receiver.port();
  mc.base_epoch = 1772355600;
  emu::VirtualMonitor vm(mc);
  // 6 s of beats at 75 a minute (a 1 mV triangle of 40 ms every 0.8 s), then 5 s of flat line.
  for (int i = 0; i < 5000 * 11; ++i) {
    const double t = i / 5000.0, phase = std::fmod(t, 0.8);
    vm.OnSample(t < 6 && phase < 0.04 ? 1 - std::fabs(phase - 0.02) / 0.02 : 0);
  }
  ASSERT_TRUE(vm.Flush(std::chrono::seconds(10)));
  std::lock_guard<std::mutex> hold(lock);
  std::vector<double> rates;
  const hl7::Alarm* asystole = nullptr;
  for (const auto& c : got) {
    for (const auto& o : c.observations) {
      EXPECT_EQ(o.name(), "heart_rate");
      EXPECT_NEAR(o.epoch - mc.base_epoch, static_cast<double>(rates.size() + 1), 1e-6);  // the second beat came before 1 s
      rates.push_back(o.value);
    }
    for (const auto& a : c.alarms)
      if (a.text.find("ASYSTOLE") != std::string::npos && !a.ended()) asystole = &a;
  }
  ASSERT_GE(rates.size(), 9u);
  EXPECT_EQ(rates[2], 75);
  EXPECT_EQ(rates.back(), 0);
  ASSERT_NE(asystole, nullptr);
  // The last beat's peak at 5.62 s; no other for 4 s.
  EXPECT_NEAR(asystole->epoch - mc.base_epoch, 5.62 + 4, 0.01);
}

}  // namespace
}  // namespace orna
