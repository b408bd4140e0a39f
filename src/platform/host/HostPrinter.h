// A printer that prints nothing and remembers everything: the jobs begun
// on it with their titles, fonts, every text drawn (where, how aligned, on
// which page) and how each job finished. Its device answers are set by the
// test: whether a printer is installed, the page geometry, the font
// metrics, and a fixed pitch (every UTF-16 unit `charWidth` pixels wide),
// so that expected positions can be worked out by hand.
//
// Everything is in this header so that the Windows test binary, which does
// not build the host platform, can use it as well. Not thread-safe, like
// the printer it stands for.
#pragma once
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "base/Text.h"
#include "platform/Printer.h"

namespace stw {

class HostPrinter : public IPrinter {
 public:
  struct DrawnText {
    int page = 0;  // from 1
    int x = 0, y = 0;
    PrintAlign align = PrintAlign::Left;
    std::string text;
    PrintFont font;
  };
  struct Job {
    std::string title;
    std::vector<PrintFont> fonts;  // every SetFont, in order
    std::vector<DrawnText> texts;
    int pages = 1;
    bool ended = false;
    bool aborted = false;
  };

  // The device's answers.
  bool installed = true;
  PageGeometry geometry{600, 600, 5100, 6600, 0, 0};  // US Letter at 600 dpi, no margin
  PrintFontMetrics metrics{100, 20};
  int charWidth = 50;
  // Faults and hooks for the tests: BeginDocument refuses with this text
  // when it is not empty; the draw call numbered `failAtDraw` (from 1)
  // throws; `onMeasure` runs at every TextWidth.
  std::string refuseBegin;
  int failAtDraw = 0;
  std::function<void(const std::string&)> onMeasure;

  // Every job begun so far; a job's record outlives the job.
  const std::vector<std::shared_ptr<Job>>& Jobs() const { return jobs_; }

  bool Installed() override { return installed; }

  std::unique_ptr<IPrintJob> BeginDocument(const std::string& title) override {
    if (!refuseBegin.empty()) throw EPrinterError(refuseBegin);
    auto record = std::make_shared<Job>();
    record->title = title;
    jobs_.push_back(record);
    return std::make_unique<RecordingJob>(*this, record);
  }

 private:
  class RecordingJob : public IPrintJob {
   public:
    RecordingJob(HostPrinter& printer, std::shared_ptr<Job> record) : printer_(printer), job_(std::move(record)) {}
    ~RecordingJob() override {
      if (!job_->ended && !job_->aborted) job_->aborted = true;
    }
    PageGeometry Geometry() override { return printer_.geometry; }
    void SetFont(const PrintFont& font) override {
      Open();
      font_ = font;
      job_->fonts.push_back(font);
    }
    PrintFontMetrics FontMetrics() override { return printer_.metrics; }
    int TextWidth(const std::string& text) override {
      if (printer_.onMeasure) printer_.onMeasure(text);
      return static_cast<int>(Utf8ToUtf16(text).size()) * printer_.charWidth;
    }
    void DrawText(int x, int y, PrintAlign align, const std::string& text) override {
      Open();
      if (++draws_ == printer_.failAtDraw) throw EPrinterError("The printer stopped responding");
      job_->texts.push_back({job_->pages, x, y, align, text, font_});
    }
    void NewPage() override {
      Open();
      ++job_->pages;
    }
    void End() override {
      Open();
      job_->ended = true;
    }
    void Abort() noexcept override {
      if (!job_->ended) job_->aborted = true;
    }

   private:
    // A finished job takes no more output: a caller that draws after End
    // or Abort has lost track of its job.
    void Open() const {
      if (job_->ended || job_->aborted) throw EPrinterError("The print job has already finished");
    }
    HostPrinter& printer_;
    std::shared_ptr<Job> job_;
    PrintFont font_;
    int draws_ = 0;
  };

  std::vector<std::shared_ptr<Job>> jobs_;
};

}  // namespace stw
