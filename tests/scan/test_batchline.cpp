// The batch line as the row loop builds it, straight into bytes, against
// the line built as text and converted whole; and the sales date kept per
// day against the date formatted value by value.
#include "common/uOVCodePage.h"
#include "common/uOVUtils.h"
#include "service/dBrevoltRPro9ConnectorBatch.h"

#include <gtest/gtest.h>

using namespace dBrevoltRPro9ConnectorBatch;

namespace {

TEST(AnsiBatchLine, SameBytesAsTheLineConvertedWhole) {
    const QList<QStringList> lines = {
        {QStringLiteral("001001"), QStringLiteral("José"), QStringLiteral("Müller"),
         QStringLiteral("555-0101"), QString(), QString(), QStringLiteral("j@example.com"),
         QString(), QStringLiteral("6/5/2022"), QStringLiteral("No"), QStringLiteral("Yes")},
        {QStringLiteral("Anne"), QStringLiteral("O\"Brien, Jr."), QStringLiteral("a\r\nb\rc\nd"),
         QStringLiteral("\"\"")},
        // In the code page but not in Latin-1, and in neither.
        {QStringLiteral("€uro"), QStringLiteral("Œuvre"), QStringLiteral("漢字"),
         QStringLiteral("\U0001F600 smile"), QString(QChar(0x81)), QString(QChar(0x9D))},
        {QStringLiteral("Zoë"), QStringLiteral("\"€\"\r\n"), QStringLiteral("ÿ\u00A0\u00FF")},
        {QString()},
        {QString(500, QLatin1Char('x')), QStringLiteral("y")},
    };
    TAnsiBatchLine bytes;
    for (const QStringList& values : lines) {
        SCOPED_TRACE(BatchLine(values).toStdString());
        bytes.Clear();
        for (const QString& value : values)
            bytes.Add(value);
        EXPECT_EQ(bytes.Line().toByteArray(), uOVCodePage::ToAnsi(BatchLine(values)) + "\r\n");
    }
}

TEST(SalesDateText, SameAsEachDateFormattedAlone) {
    // Days in order and back, times that round to the next midnight, and
    // days before 1899-12-30.
    const TDateTime values[] = {46000.0,
                                46000.5,
                                46000.999999,
                                46000.9999999999,
                                46001.0,
                                46000.25,
                                45999.75,
                                46001.99999999999,
                                46002.00000001,
                                -1.5,
                                -1.9999999999,
                                -2.0,
                                0.0,
                                0.99999999999,
                                46002.5,
                                46002.5};
    TSalesDateText dates;
    for (const TDateTime value : values) {
        SCOPED_TRACE(value);
        EXPECT_EQ(dates.Text(value),
                  uOVUtils::FormatDateTimeFixed(QStringLiteral("m/d/yyyy"), value));
    }
}

} // namespace
