// The DVD-Video structure handed to dvdauthor: one title per output, its
// split files as the parts of that title, chapter marks every few minutes
// across the whole title, the format stated rather than guessed.
#pragma once

#include <string>
#include <vector>

namespace quillon::disc {

struct DvdTitle {
    // The program stream files of the title in playing order, as dvdauthor
    // is to open them, and how long each plays in seconds.
    std::vector<std::string> parts;
    std::vector<double> partSeconds;
    int width = 0, height = 0;
};

// Chapter marks of one title, a mark every `everySeconds` from its start
// (0 included), given per part in seconds from that part's own start (a
// mark falls into the part that plays at its time). A mark less than a
// second before the end of the title is left out: it would be a chapter
// of nothing. A title gets at most 99 marks, as many as players count.
std::vector<std::vector<double>> chapterMarks(const std::vector<double>& partSeconds, double everySeconds);

// "0", "0:05:00", "1:02:03.500": the time form dvdauthor reads.
std::string chapterTime(double seconds);

// The dvdauthor control file for `titles` written into `dest`. Titles of
// one picture size share a titleset; a change of size starts a new one.
// Each title plays on into the next.
std::string dvdauthorControl(const std::vector<DvdTitle>& titles, bool pal, double chapterSeconds,
                             const std::string& dest);

// Text made safe for an XML attribute.
std::string xmlEscape(const std::string& text);

}  // namespace quillon::disc
