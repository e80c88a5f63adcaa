#include "agent/progress_bar.h"

#include <string>

#include "agent/console_output.h"

namespace quarv::agent {

void ProgressBar::DrawRuler() const {
  Say(Message::RulerScale);
  Say(Message::RulerBar);
}

void ProgressBar::Show(std::int64_t remaining) {
  const std::int64_t due = kProgressMarks - remaining * kProgressMarks / total_;
  if (due > marks_) {
    const std::string mark = FormatMessage(Message::ProgressMark);
    std::string marks;
    for (std::int64_t i = marks_; i < due; ++i) marks += mark;
    WriteToConsole(marks);
  }
  marks_ = due;
}

}  // namespace quarv::agent
