#pragma once

// Collects what glog writes while it exists, so that tests can check the lines an operator
// would see.

#include <glog/logging.h>

#include <mutex>
#include <string>
#include <vector>

class LogCapture : public google::LogSink {
  public:
    LogCapture() { google::AddLogSink(this); }
    ~LogCapture() override { google::RemoveLogSink(this); }

    using google::LogSink::send;
    void send(google::LogSeverity severity, const char*, const char*, int, const google::LogMessageTime&,
              const char* message, size_t length) override {
        std::lock_guard<std::mutex> guard(lock_);
        lines_.push_back({severity, std::string(message, length)});
    }

    // Number of lines of at least `severity` that contain `text`.
    int count(const std::string& text, google::LogSeverity severity = google::GLOG_INFO) const {
        std::lock_guard<std::mutex> guard(lock_);
        int n = 0;
        for (const auto& line : lines_) {
            if (line.severity >= severity && line.text.find(text) != std::string::npos)
                ++n;
        }
        return n;
    }
    bool contains(const std::string& text, google::LogSeverity severity = google::GLOG_INFO) const {
        return count(text, severity) > 0;
    }
    std::string text() const {
        std::lock_guard<std::mutex> guard(lock_);
        std::string all;
        for (const auto& line : lines_)
            all += line.text + "\n";
        return all;
    }
    void clear() {
        std::lock_guard<std::mutex> guard(lock_);
        lines_.clear();
    }

  private:
    struct Line {
        google::LogSeverity severity;
        std::string text;
    };
    mutable std::mutex lock_;
    std::vector<Line> lines_;
};
