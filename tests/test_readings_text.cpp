// Conversions without a window: number text, byte order, tariff rule, time format, typed
// divider, settings payload, window titles, the CSV and JSON of a reading, the plausibility of
// a run of readings and their fan-out.

#include "main_window/WindowTitles.h"
#include "poller/Plausibility.h"
#include "poller/ReadingsFanOut.h"
#include "readings/DeviceSettings.h"
#include "readings/ReadingsDecode.h"
#include "readings/ReadingsFormat.h"
#include "readings/ReadingsTable.h"
#include "readings/SettingsRequest.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>
#include <cmath>
#include <ctime>
#include <limits>

namespace {

// The tests run in UTC, where a time that lost its offset still reads right: this program runs
// in a zone with summer time, set before Qt reads the zone.
const bool InBrussels = [] {
    qputenv("TZ", "Europe/Brussels");
    tzset();
    return true;
}();

} // namespace

class TestReadingsText : public QObject {
    Q_OBJECT
private slots:
    // The grid's text, and the exports' plain decimal: the shortest digits that read back as
    // the same float, never an exponent.
    void numberText_data() {
        QTest::addColumn<float>("value");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("exported");
        QTest::newRow("integer") << 200.0f << "200"
                                 << "200";
        QTest::newRow("half") << 0.5f << "0.5"
                              << "0.5";
        QTest::newRow("seven digits") << 1234.5678f << "1234.568"
                                      << "1234.5677";
        QTest::newRow("above 7 digits") << 12345678.0f << "1.234568E+07"
                                        << "12345678";
        QTest::newRow("largest fixed") << 1234567.0f << "1234567"
                                       << "1234567";
        QTest::newRow("round counter") << 1000000.0f << "1000000"
                                       << "1000000";
        QTest::newRow("beyond the float's integers") << 16777217.0f << "1.677722E+07"
                                                     << "16777216";
        QTest::newRow("small") << 0.00001f << "1E-05"
                               << "0.00001";
        QTest::newRow("smallest fixed") << 0.0001f << "0.0001"
                                        << "0.0001";
        QTest::newRow("negative") << -3.5f << "-3.5"
                                  << "-3.5";
        QTest::newRow("zero") << 0.0f << "0"
                              << "0";
        QTest::newRow("negative zero") << -0.0f << "0"
                                       << "-0";
        QTest::newRow("single precision noise") << 0.1f << "0.1"
                                                << "0.1";
        QTest::newRow("energy counter") << 1523456.8f << "1523457"
                                        << "1523456.8";
        QTest::newRow("large exponent") << 3.0e38f << "3E+38"
                                        << "300000000000000000000000000000000000000";
        QTest::newRow("tiny exponent") << 1.5e-30f << "1.5E-30"
                                       << "0.0000000000000000000000000000015";
        QTest::newRow("not a number") << std::numeric_limits<float>::quiet_NaN() << "NaN"
                                      << "nan";
        QTest::newRow("infinity") << std::numeric_limits<float>::infinity() << "Inf"
                                  << "inf";
        QTest::newRow("minus infinity") << -std::numeric_limits<float>::infinity() << "-Inf"
                                        << "-inf";
    }
    void numberText() {
        QFETCH(float, value);
        QFETCH(QString, text);
        QFETCH(QString, exported);
        QCOMPARE(NumberText(value), text);
        QCOMPARE(ExportNumber(value), exported);
        if (std::isfinite(value))
            QCOMPARE(exported.toFloat(), value);
    }

    // Figures computed from the device's values are written with the digits those hold.
    void deviceNumberDropsArithmeticNoise() {
        QCOMPARE(JsonText({{"w", DeviceNumber(2168.5449999999255)}}),
                 QByteArray("{\"w\":2168.545}"));
        QCOMPARE(DeviceNumber(-1234.56781), -1234.5677); // the float nearest, shortest
        QVERIFY(std::isnan(DeviceNumber(std::nan(""))));
    }

    void decimalSeparatorOfTheLocale() {
        QCOMPARE(NumberText(1234.5678f, QLatin1Char(',')), QStringLiteral("1234,568"));
        QCOMPARE(NumberText(12345678.0f, QLatin1Char(',')), QStringLiteral("1,234568E+07"));
        ReadingsTable dutch{QLocale(QLocale::Dutch, QLocale::Netherlands)};
        ReadingsRow row;
        row.state = ReadingsRow::Received;
        row.present = 1;
        row.fields[0] = 0.5f;
        dutch.AppendRow(row);
        QCOMPARE(dutch.TextMatrix(1, 3), QStringLiteral("0,5 W"));
    }

    void reverseMid() {
        const QByteArray text("\x01\x02\x03\x04\x05", 5);
        QCOMPARE(ReverseMid(text, 1, 4), QByteArray("\x04\x03\x02\x01", 4));
        QCOMPARE(ReverseMid(text, 2, 4), QByteArray("\x05\x04\x03\x02", 4));
        QCOMPARE(ReverseMid(text, 1, 0), QByteArray());
        QCOMPARE(ReverseMid(text, 1, -3), QByteArray());
        QCOMPARE(ReverseMid(text, 4, 4), QByteArray("\x05\x04", 2)); // past the end: shorter
        QCOMPARE(ReverseMid(text, 9, 4), QByteArray());
    }

    void fieldValues() {
        const QByteArray result = QByteArray(1, 0) + QByteArray("\x43\x48\x00\x00", 4) +
                                  QByteArray("\x4b\x3c\x61\x4e", 4); // 200, 12345678
        QCOMPARE(FieldValue(result, 2), 200.0f);
        QCOMPARE(FieldValue(result, 6), 12345678.0f);

        // 0, 52 data bytes, end marker: all 13 fields. One byte less: 12. Nothing: none.
        QCOMPARE(FieldsCovered(1 + 52 + 1), 13);
        QCOMPARE(FieldsCovered(1 + 51 + 1), 12);
        QCOMPARE(FieldsCovered(1 + 4 + 1), 1);
        QCOMPARE(FieldsCovered(1 + 3 + 1), 0);
        QCOMPARE(FieldsCovered(1), 0);
        QCOMPARE(FieldsCovered(1 + 200 + 1), 13);
    }

    void tariffRule_data() {
        QTest::addColumn<float>("tariff");
        QTest::addColumn<bool>("nederland");
        QTest::addColumn<bool>("belgie");
        QTest::addColumn<QString>("text");
        QTest::newRow("1 in the Netherlands") << 1.0f << true << false << "Low";
        QTest::newRow("1 in Belgium") << 1.0f << false << true << "High";
        QTest::newRow("2 in the Netherlands") << 2.0f << true << false << "High";
        QTest::newRow("2 in Belgium") << 2.0f << false << true << "Low";
        QTest::newRow("0 in Belgium") << 0.0f << false << true << "Low";
        QTest::newRow("1.5 in the Netherlands") << 1.5f << true << false << "High";
        QTest::newRow("1 with no country") << 1.0f << false << false << "High";
        QTest::newRow("2 with no country") << 2.0f << false << false << "High";
    }
    void tariffRule() {
        QFETCH(float, tariff);
        QFETCH(bool, nederland);
        QFETCH(bool, belgie);
        QFETCH(QString, text);
        QCOMPARE(TariffText(tariff, nederland, belgie), text);
    }

    void timeWithSecondsWithoutZone_data() {
        QTest::addColumn<QString>("locale");
        QTest::addColumn<QString>("text");
        QTest::newRow("Dutch") << "nl_NL"
                               << "09:05:03";
        QTest::newRow("US English, AM/PM kept") << "en_US"
                                                << "9:05:03 AM";
        QTest::newRow("zone in brackets") << "es_ES"
                                          << "9:05:03";
        QTest::newRow("zone in front") << "zh_CN"
                                       << "09:05:03";
        QTest::newRow("zone in square brackets, day period") << "zh_TW"
                                                             << "\u4e0a\u53489:05:03";
        QTest::newRow("zone behind a comma") << "sq_AL"
                                             << "9:05:03 E PARADITES";
        QTest::newRow("units spelt out: short format") << "fr_BE"
                                                       << "09:05:03";
        QTest::newRow("units spelt out in both") << "fr_CA"
                                                 << "09:05:03";
        QTest::newRow("units spelt out, AM/PM kept") << "ko_KR"
                                                     << "\uc624\uc804 9:05:03";
    }
    void timeWithSecondsWithoutZone() {
        QFETCH(QString, locale);
        QFETCH(QString, text);
        const QLocale l(locale);
        QCOMPARE(l.toString(QTime(9, 5, 3), TimeFormatWithSeconds(l)), text);
    }

    void typedDivider_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<double>("number");
        QTest::addColumn<int>("rounded");
        QTest::newRow("whole") << "7" << 7.0 << 7;
        QTest::newRow("half up to even") << "7.5" << 7.5 << 8;
        QTest::newRow("half down to even") << "2.5" << 2.5 << 2;
        QTest::newRow("3.5") << "3.5" << 3.5 << 4;
        QTest::newRow("below half") << "3.4" << 3.4 << 3;
        QTest::newRow("trailing text") << "6 pulses" << 6.0 << 6;
        QTest::newRow("leading blanks") << "  9" << 9.0 << 9;
        QTest::newRow("letters") << "abc" << 0.0 << 0;
        QTest::newRow("empty") << "" << 0.0 << 0;
        QTest::newRow("point only") << "." << 0.0 << 0;
        QTest::newRow("negative") << "-2" << -2.0 << -2;
        QTest::newRow("comma is no decimal point") << "7,5" << 7.0 << 7;
        QTest::newRow("exponent") << "1e1" << 10.0 << 10;
        QTest::newRow("huge") << "1e400" << HUGE_VAL << std::numeric_limits<int>::max();
        QTest::newRow("too small is 0") << "1e-400" << 0.0 << 0;
        QTest::newRow("too small in its digits is 0") << "-0.0001e-320" << 0.0 << 0;
        QTest::newRow("large in its digits")
            << "1000e306" << HUGE_VAL << std::numeric_limits<int>::max();
    }
    void typedDivider() {
        QFETCH(QString, text);
        QFETCH(double, number);
        QFETCH(int, rounded);
        QCOMPARE(LeadingNumber(text), number);
        QCOMPARE(RoundHalfEven(LeadingNumber(text)), rounded);
    }

    void settingsPayload() {
        QCOMPARE(SettingsPayload(60, true, false, false, 10), QByteArray("\x3c\x01\x05\x0a", 4));
        QCOMPARE(SettingsPayload(5, false, true, false, 1), QByteArray("\x05\x02\x02\x01", 4));
        QCOMPARE(SettingsPayload(30, true, false, true, 3), QByteArray("\x1e\x01\x04\x03", 4));
        // Nothing selected: Belgium and protocol 5.
        QCOMPARE(SettingsPayload(10, false, false, false, 2), QByteArray("\x0a\x02\x05\x02", 4));
    }

    // One validation for "kdr31-cli set" and the MQTT set topic. "changes" is the merged
    // interval,country,protocol,divider over a device at 10,1,5,1; "refusals" counts reasons.
    void settingsRequest_data() {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<QString>("changes");
        QTest::addColumn<int>("refusals");
        QTest::newRow("all four") << QByteArray(R"({"interval":60,"country":"BE","protocol":4,)"
                                                R"("divider":10})")
                                  << "60,2,4,10" << 0;
        QTest::newRow("lower bounds, text numbers")
            << QByteArray(R"({"interval":"5","divider":"1","protocol":"2","country":"nl"})")
            << "5,1,2,1" << 0;
        QTest::newRow("whole float") << QByteArray(R"({"interval":30.0})") << "30,1,5,1" << 0;
        QTest::newRow("out of range") << QByteArray(R"({"interval":4,"divider":11})") << "" << 2;
        QTest::newRow("above range") << QByteArray(R"({"interval":61})") << "" << 1;
        QTest::newRow("fraction") << QByteArray(R"({"interval":30.5})") << "" << 1;
        QTest::newRow("no protocol 3") << QByteArray(R"({"protocol":3})") << "" << 1;
        QTest::newRow("unknown country") << QByteArray(R"({"country":"de"})") << "" << 1;
        QTest::newRow("wrong types") << QByteArray(R"({"interval":true,"divider":[2]})") << "" << 2;
        QTest::newRow("unknown name, good one kept out")
            << QByteArray(R"({"colour":1,"interval":30})") << "" << 1;
        QTest::newRow("empty object") << QByteArray("{}") << "" << 1;
        QTest::newRow("array") << QByteArray("[30]") << "" << 1;
        QTest::newRow("not json") << QByteArray("interval=30") << "" << 1;
    }
    void settingsRequest() {
        QFETCH(QByteArray, json);
        QFETCH(QString, changes);
        QFETCH(int, refusals);
        const SettingsRequestResult result = ParseSettingsJson(json);
        QCOMPARE(result.refusals.size(), refusals);
        if (refusals > 0)
            return;
        const DeviceSettingValues v = ApplySettingsRequest({10, 1, 5, 1}, result.request);
        QCOMPARE(QStringLiteral("%1,%2,%3,%4")
                     .arg(v.interval)
                     .arg(v.country)
                     .arg(v.protocol)
                     .arg(v.divider),
                 changes);
    }

    void settingRefusalsNameTheSettingAndValue() {
        SettingsRequest request;
        QCOMPARE(SetSettingFromText(request, "interval", "61"),
                 "interval: \"61\" is not a whole number of seconds from 5 to 60");
        QCOMPARE(SetSettingFromText(request, "speed", "5"),
                 "unknown setting \"speed\" (known: interval, divider, country, protocol)");
        QVERIFY(request.IsEmpty());
    }

    // One reading as the exports write it, in winter and in summer: the local time with its
    // offset, counters in plain decimal in the CSV and in the JSON text, a hostile serial kept
    // inside its cell and its string, and an implausible reading flagged with its fields kept.
    void readingLines_data() {
        QTest::addColumn<QString>("utc");
        QTest::addColumn<QString>("local");
        QTest::addColumn<bool>("implausible");
        QTest::newRow("winter") << "2026-12-07T17:05:03Z"
                                << "2026-12-07T18:05:03+01:00" << false;
        QTest::newRow("summer") << "2026-07-01T22:30:00Z"
                                << "2026-07-02T00:30:00+02:00" << false;
        QTest::newRow("implausible") << "2026-12-07T17:05:03Z"
                                     << "2026-12-07T18:05:03+01:00" << true;
    }
    void readingLines() {
        QFETCH(QString, utc);
        QFETCH(QString, local);
        QFETCH(bool, implausible);
        Reading reading;
        reading.row.time =
            QDateTime::fromString(utc, Qt::ISODate).toMSecsSinceEpoch() + 999; // to the second
        reading.row.state = ReadingsRow::Received;
        reading.row.present = 0b111;
        reading.row.fields = {250.0f, 1000000.0f, 123456.7f};
        reading.serial = QStringLiteral("KD\"31,\\\n\x01");
        reading.implausible = implausible;
        const QString status = implausible ? QStringLiteral("implausible") : QStringLiteral("ok");

        QCOMPARE(ReadingsCsvLine(reading), local + QStringLiteral(",\"KD\"\"31,\\\n\x01\",") +
                                               status +
                                               QStringLiteral(",250,1000000,123456.7,,,,,,,,,,"));

        const QByteArray json = ReadingJsonText(reading);
        QVERIFY2(json.contains(R"("import_high_wh":1000000,"import_low_wh":123456.7,)"),
                 json.constData());
        QJsonParseError error;
        const QJsonObject parsed = QJsonDocument::fromJson(json, &error).object();
        QCOMPARE(error.error, QJsonParseError::NoError);
        QCOMPARE(parsed, ReadingJson(reading));
        QCOMPARE(parsed.value("time").toString(), local);
        QCOMPARE(parsed.value("serial").toString(), reading.serial);
        QCOMPARE(parsed.value("status").toString(), status);
        QCOMPARE(parsed.size(), 6);
    }

    void titles() {
        QCOMPARE(NotConnectedTitle(), QStringLiteral("KDR31 V1.9 ----"));
        QCOMPARE(ConnectedTitle(QStringLiteral("KD310042"), 3, {2, 1, 0, 15}),
                 QStringLiteral("Zevizudove V1.9 s/n:KD310042 Listening to COM3 KDR31 FW "
                                "V2.1.0.15"));
        QCOMPARE(ConnectedTitle(QString(), 12, {255, 0, 7, 100}),
                 QStringLiteral("Zevizudove V1.9 s/n: Listening to COM12 KDR31 FW V255.0.7.100"));
    }

    // Each step sets one field (the import counter unless told) in a reading whose other
    // counters stay level, or NaN or infinity for a garbled value; the verdicts, "+" plausible
    // and "-" not, one per step. The readings go through the fan-out, as every front end hands
    // them, to two sinks that must both see every verdict, counted by outcome.
    void plausibility_data() {
        QTest::addColumn<int>("field");
        QTest::addColumn<QList<float>>("values");
        QTest::addColumn<QString>("verdicts");
        const float nan = std::numeric_limits<float>::quiet_NaN();
        const float inf = std::numeric_limits<float>::infinity();
        const float big = 12345678.0f; // one float step is 1 Wh here
        QTest::newRow("rising and level") << 1 << QList<float>{100, 101, 101, 250} << "++++";
        QTest::newRow("one garbled drop") << 1 << QList<float>{100, 5, 101} << "+-+";
        QTest::newRow("not a number") << 1 << QList<float>{100, nan, 100} << "+-+";
        QTest::newRow("infinity") << 1 << QList<float>{100, inf, 100} << "+-+";
        QTest::newRow("a float step lower is the same count")
            << 1 << QList<float>{big, std::nextafter(big, 0.0f), big - 2} << "++-";
        QTest::newRow("a higher count raises the baseline")
            << 1 << QList<float>{100, 200, 150} << "++-";
        QTest::newRow("a replaced meter, from the third reading on")
            << 1 << QList<float>{100, 5, 6, 7, 8} << "+--++";
        QTest::newRow("lower readings that disagree are no new meter")
            << 1 << QList<float>{100, 5, 3, 2, 1, 101} << "+----+";
        QTest::newRow("back above the baseline ends the run")
            << 1 << QList<float>{100, 5, 6, 101, 7} << "+--+-";
        QTest::newRow("gas drops") << 8 << QList<float>{4321, 4000} << "+-";
        QTest::newRow("a pulse counter drops") << 12 << QList<float>{7, 6} << "+-";
        QTest::newRow("the last field not a number") << 12 << QList<float>{7, nan, 7} << "+-+";
        QTest::newRow("power goes up and down") << 0 << QList<float>{200, 50, 3000} << "+++";
    }
    void plausibility() {
        QFETCH(int, field);
        QFETCH(QList<float>, values);
        QFETCH(QString, verdicts);
        struct Seen : ReadingSink {
            QString verdicts;
            void Take(const Reading& reading) override {
                if (reading.row.state == ReadingsRow::Received)
                    verdicts += reading.implausible ? '-' : '+';
            }
        } first, second;
        ReadingsFanOut fanOut;
        fanOut.Add(&first);
        fanOut.Add(&second);
        fanOut.Add(&first); // once is enough
        const QString serial = QStringLiteral("KD310042");
        for (const float value : values) {
            ReadingsRow row;
            row.state = ReadingsRow::Received;
            row.present = (1u << ReadingsFieldCount) - 1;
            row.fields[1] = 100.0f;
            row.fields[8] = 4321.0f; // gas
            row.fields[12] = 7.0f;   // extern2
            row.fields[size_t(field)] = value;
            fanOut.Hand(row, serial);
            // A failed reading between two others changes nothing.
            ReadingsRow failed;
            failed.state = ReadingsRow::Failed;
            QVERIFY(!fanOut.Hand(failed, serial).implausible);
        }
        QCOMPARE(first.verdicts, verdicts);
        QCOMPARE(second.verdicts, verdicts);
        QCOMPARE(fanOut.Counts().ok, verdicts.count(QLatin1Char('+')));
        QCOMPARE(fanOut.Counts().implausible, verdicts.count(QLatin1Char('-')));
        QCOMPARE(fanOut.Counts().failed, values.size());

        // Another device's counters say nothing about this one's, nor this one's about it.
        ReadingsRow other;
        other.state = ReadingsRow::Received;
        other.present = 1u << 1;
        other.fields[1] = 1.0f;
        QVERIFY(!fanOut.Hand(other, QStringLiteral("KD319999")).implausible);
        other.fields[1] = 0.5f;
        QVERIFY(fanOut.Hand(other, QStringLiteral("KD319999")).implausible);
        // A sink removed gets nothing more.
        fanOut.Remove(&second);
        fanOut.Hand(other, QStringLiteral("KD319999"));
        QCOMPARE(second.verdicts, verdicts + "+-");
        QCOMPARE(first.verdicts, verdicts + "+--");
    }
};

QTEST_APPLESS_MAIN(TestReadingsText)
#include "test_readings_text.moc"
