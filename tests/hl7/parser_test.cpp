// HL7 v2 messages as patient monitors send them (observations, ORU^R01;
// alarms, ORU^R40): what is taken out of them, and the ACK each gets.
#include <gtest/gtest.h>

#include <string>

#include "hl7/message.h"
#include "hl7/pcd.h"

namespace orna::hl7 {
namespace {

std::string Lines(std::initializer_list<const char*> segments, const char* end = "\r") {
  std::string s;
  for (const char* seg : segments) s += std::string(seg) + end;
  return s;
}

const std::string kObservations = Lines({
    "MSH|^~\\&|ACME_GW^0012340000000000^EUI-64|ICU|||20260301090030+0000||ORU^R01^ORU_R01|MSG0001|P|2.6|||NE|AL",
    "PID|||010101^^^Hospital^PI||Doe^John^^^^^L^A",
    "PV1||I|ICU^2^1",
    "OBR|1|G1^ACME|G1^ACME|182777000^monitoring of patient^SNOMED-CT|||20260301090029+0000",
    "OBX|1||69965^MDC_DEV_MON_PHYSIO_MULTI_PARAM_MDS^MDC|1.0.0.0|||||||X",
    "OBX|2|NM|147842^MDC_ECG_HEART_RATE^MDC|1.1.1.1|72|264864^MDC_DIM_BEAT_PER_MIN^MDC|||||R|||20260301090030.25+0000",
    "OBX|3|NM|150456^MDC_PULS_OXIM_SAT_O2^MDC|1.2.1.1| 98.5 |262688^MDC_DIM_PERCENT^MDC|||||R",
    "OBX|4|NM|8867-4^Heart rate^LN|1|-0|/min^/min^UCUM|||||F",
    "OBX|5|ST|0^MDC_ECG_RHY^MDC|1.1.1.2|sinus|||||R",
});

TEST(Hl7Parser, TakesEveryNumericObservationOfAnObservationResult) {
  Content c;
  const Outcome o = Interpret(kObservations, &c);
  ASSERT_EQ(o.code, AckCode::AA) << o.reason;
  EXPECT_EQ(c.control_id, "MSG0001");
  ASSERT_EQ(c.observations.size(), 3u);
  const Observation& hr = c.observations[0];
  EXPECT_EQ(hr.name(), "heart_rate");
  EXPECT_EQ(hr.value, 72);
  EXPECT_EQ(hr.units, "264864");
  EXPECT_EQ(hr.shown_units(), "MDC_DIM_BEAT_PER_MIN");
  EXPECT_EQ(hr.sub_id, "1.1.1.1");
  EXPECT_EQ(hr.time, "20260301090030.25+0000");  // OBX-14 before OBR-7
  EXPECT_DOUBLE_EQ(hr.epoch, 1772355630.25);
  EXPECT_EQ(c.observations[1].name(), "MDC:150456");
  EXPECT_EQ(c.observations[1].value, 98.5);
  EXPECT_EQ(c.observations[1].time, "20260301090029+0000");  // no OBX-14: OBR-7
  EXPECT_EQ(c.observations[2].name(), "heart_rate");  // LOINC
  EXPECT_EQ(c.observations[2].units, "/min");
  EXPECT_EQ(BuildAck(c, o, 1772355631.5, "ORNA7"),
            "MSH|^~\\&|ORNA|BENCH|ACME_GW|ICU|20260301090031.500+0000||ACK^R01^ACK|ORNA7|P|2.6\r"
            "MSA|AA|MSG0001\r");
}

TEST(Hl7Parser, TakesAnAlarmWithItsPhaseStateAndTimeZone) {
  const std::string text = Lines({
      "MSH|^~\\&|ACME_GW||||20260126114700-0600||ORU^R40^ORU_R40|AL42|P|2.6|||AL|NE",
      "PID|||12345^^^Hospital^PI",
      "OBR|1|A1^ACME||196616^MDC_EVT_ALARM^MDC|||20260126114658-0600",
      "OBX|1|ST|^MDC_EVT_ECG_TACHY^MDC|1.1.1.1|Tachycardia 135 \\T\\ rising|||H|||F|||20260126114658.5-0600",
      "OBX|2|NM|147842^MDC_ECG_HEART_RATE^MDC|1.1.1.1|135|264864^MDC_DIM_BEAT_PER_MIN^MDC|50-120||||F",
      "OBX|3|ST|68481^MDC_ATTR_EVENT_PHASE^MDC|1.1.1.1.1|start|||||F",
      "OBX|4|ST|68482^MDC_ATTR_ALARM_STATE^MDC|1.1.1.1.2|active|||||F",
      "OBR|2|A2^ACME||196616^MDC_EVT_ALARM^MDC|||20260126114659-0600",
      "OBX|5|CWE|196616^MDC_EVT_ALARM^MDC|1.1.1.1|^MDC_EVT_ECG_ASYSTOLE^MDC^^^^^^Asystole|||||F",
      "OBX|6|ST|68481^MDC_ATTR_EVENT_PHASE^MDC|1.1.1.1.1|end|||||F",
  });
  Content c;
  const Outcome o = Interpret(text, &c);
  ASSERT_EQ(o.code, AckCode::AA) << o.reason;
  EXPECT_TRUE(c.observations.empty());  // the alarm's source value is not an observation
  ASSERT_EQ(c.alarms.size(), 2u);
  EXPECT_EQ(c.alarms[0].text, "MDC_EVT_ECG_TACHY Tachycardia 135 & rising");
  EXPECT_EQ(c.alarms[0].phase, "start");
  EXPECT_EQ(c.alarms[0].state, "active");
  EXPECT_FALSE(c.alarms[0].ended());
  EXPECT_DOUBLE_EQ(c.alarms[0].epoch, 1769449618.5);  // 11:46:58.5 at -06:00 is 17:46:58.5 UTC
  EXPECT_EQ(FormatTimestamp(c.alarms[0].epoch), "20260126174658.500+0000");
  EXPECT_EQ(c.alarms[1].text, "MDC_EVT_ECG_ASYSTOLE Asystole");  // coded, with its original text
  EXPECT_EQ(c.alarms[1].time, "20260126114659-0600");             // from its OBR
  EXPECT_TRUE(c.alarms[1].ended());
  EXPECT_EQ(BuildAck(c, o, 0, "X"),
            "MSH|^~\\&|ORNA|BENCH|ACME_GW||19700101000000.000+0000||ACK^R40^ACK|X|P|2.6\rMSA|AA|AL42\r");
}

TEST(Hl7Parser, ReadsTheMessagesOwnEncodingCharactersEscapesAndLineEnds) {
  // Field '#', component '$', repetition '*', escape '!', subcomponent '%'; LF between segments.
  const std::string text = Lines({"MSH#$*!%#MON#!F!side#####ORU$R01#ID^1#P#2.3.1",
                                  "OBX#1#NM#8867-4$a!S!b!X41!!.br!!H!c$LN#2*3#60#bpm%x"},
                                 "\n");
  Message m;
  std::string error;
  ASSERT_TRUE(m.Parse(text, &error)) << error;
  EXPECT_EQ(m.Header(1), "#");
  EXPECT_EQ(m.Header(2), "$*!%");
  EXPECT_EQ(m.Header(4), "#side");
  EXPECT_EQ(m.Header(10), "ID^1");  // a plain character here
  const Segment& obx = m.segments()[1];
  EXPECT_EQ(m.Get(obx, 3, 2), "a$bA\nc");
  EXPECT_EQ(m.Get(obx, 4, 1, 1, 1), "3");
  EXPECT_EQ(m.Get(obx, 6, 1, 2), "x");
  EXPECT_EQ(m.Get(obx, 40), "");
  Content c;
  ASSERT_EQ(Interpret(text, &c).code, AckCode::AA);
  ASSERT_EQ(c.observations.size(), 1u);
  EXPECT_EQ(c.observations[0].name(), "heart_rate");
  // The ACK is written with the standard characters, the ID escaped in them.
  EXPECT_NE(BuildAck(c, {}, 0, "A").find("MSA|AA|ID\\S\\1\r"), std::string::npos);
}

TEST(Hl7Parser, RefusesWhatItCannotUseWithTheRightCode) {
  const std::string msh = "MSH|^~\\&|M||||20260301||";
  const std::string hr = "\rOBX|1|NM|147842^MDC_ECG_HEART_RATE^MDC||72\r";
  const struct {
    std::string text;
    AckCode code;
    int error;
  } cases[] = {
      {"hello", AckCode::AR, 100},
      {"MSH|^~|M|", AckCode::AR, 100},                                   // two encoding characters
      {msh + "ORU^R01|1|P|2.5\rPID|1\rMSH|^~\\&|", AckCode::AR, 100},    // a second header
      {msh + "ORU^R01|1|P|2.5\rpid|1", AckCode::AR, 100},
      {msh + "ADT^A01|1|P|2.5" + hr, AckCode::AR, 200},
      {msh + "ORU^R30|1|P|2.5" + hr, AckCode::AR, 201},
      {msh + "ORU^R01|1|P|2.2" + hr, AckCode::AR, 203},
      {msh + "ORU^R01||P|2.5" + hr, AckCode::AR, 101},
      {msh + "ORU^R01|1|P|2.5\rOBX|1|NM|147842^MDC_ECG_HEART_RATE^MDC||7x2", AckCode::AE, 102},
      {msh + "ORU^R40|1|P|2.5\rOBR|1\rOBX|1|ST|68481^MDC_ATTR_EVENT_PHASE^MDC||start", AckCode::AE, 101},
      {msh + "ORU^R40|1|P|2.5", AckCode::AE, 101},
  };
  for (const auto& k : cases) {
    Content c;
    const Outcome o = Interpret(k.text, &c);
    EXPECT_EQ(o.code, k.code) << k.text;
    EXPECT_EQ(o.error, k.error) << k.text;
    EXPECT_TRUE(c.observations.empty() || o.code == AckCode::AA) << k.text;
  }
  // Into content that held an earlier message: nothing of it is left.
  Content c;
  ASSERT_EQ(Interpret(kObservations, &c).code, AckCode::AA);
  const Outcome o = Interpret(msh + "ADT^A01|Q7|T|2.5", &c);
  EXPECT_TRUE(c.observations.empty());
  EXPECT_EQ(BuildAck(c, o, 0, "A1"),
            "MSH|^~\\&|ORNA|BENCH|M||19700101000000.000+0000||ACK^A01^ACK|A1|T|2.5\r"
            "MSA|AR|Q7\r"
            "ERR|||200^Unsupported message type^HL70357|E||||message type 'ADT' is not ORU\r");
}

TEST(Hl7Parser, ReadsTimestampsAtEveryPrecisionAndOffset) {
  double t = 0;
  ASSERT_TRUE(ParseTimestamp("2026", &t));
  EXPECT_EQ(t, 1767225600);
  ASSERT_TRUE(ParseTimestamp("202603010900", &t));
  EXPECT_EQ(t, 1772355600);
  ASSERT_TRUE(ParseTimestamp("20260301090000.1234+0130", &t));
  EXPECT_DOUBLE_EQ(t, 1772355600.1234 - 5400);
  for (const char* bad : {"", "202", "20261301", "20260230", "2026030109000", "20260301.5", "20260301+01",
                          "20260301090000.+0000", "20260301 0900", "2026030109000x"})
    EXPECT_FALSE(ParseTimestamp(bad, &t)) << bad;
}

}  // namespace
}  // namespace orna::hl7
