// The status line's text.
#include "generate/progress.h"
#include "support/test_support.h"

namespace {

TEST(ProgressLineTest, ShowsTimeCountsMebibytesRateAndReuseCutToTheTerminal) {
    ProgressFigures figures;
    figures.millis = 67'900;
    figures.entries = 31204;
    figures.hashed = 9873;
    figures.bytes = 1'234'567'890;
    figures.bytesPerSecond = 48'128'000;
    EXPECT_EQ(FormatProgress(figures, 0),
              "[1:07] 31204 entries, 9873 files hashed (1177.4 MiB), 45.9 MiB/s");
    figures.millis = 3'725'000;
    figures.cache = true;
    figures.reused = 10039;
    EXPECT_EQ(FormatProgress(figures, 0),
              "[1:02:05] 31204 entries, 9873 files hashed (1177.4 MiB), 45.9 MiB/s, 10039 reused");
    EXPECT_EQ(FormatProgress(figures, 79).size(), 79u);
    EXPECT_EQ(FormatProgress(figures, 20), "[1:02:05] 31204 entr");
}

}  // namespace
