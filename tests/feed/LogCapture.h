// Collects the lines the program logs while a test runs.
#pragma once

#include <log4cplus/appender.h>
#include <log4cplus/logger.h>
#include <log4cplus/spi/loggingevent.h>

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "platform/log/Log.h"

class LogCapture {
 public:
  explicit LogCapture(int level = orvlog::kTrace) : m_previous(orvlog::GetLevel()) {
    orvlog::SetLevel(level);  // also sets log4cplus up on first use
    m_appender = log4cplus::SharedAppenderPtr(new Appender(this));
    m_appender->setName(LOG4CPLUS_TEXT("capture"));
    log4cplus::Logger::getRoot().addAppender(m_appender);
  }
  ~LogCapture() {
    log4cplus::Logger::getRoot().removeAppender(m_appender);
    orvlog::SetLevel(m_previous);
  }

  std::vector<std::string> Lines() const {
    std::lock_guard<std::mutex> l(m_mutex);
    return m_lines;
  }
  bool Contains(const std::string& text) const {
    for (const std::string& l : Lines())
      if (l.find(text) != std::string::npos) return true;
    return false;
  }
  size_t Count(const std::string& text) const {
    size_t n = 0;
    for (const std::string& l : Lines())
      if (l.find(text) != std::string::npos) ++n;
    return n;
  }
  // Called on the logging thread for every line, after it is kept.
  std::function<void(const std::string&)> onLine;

  void Clear() {
    std::lock_guard<std::mutex> l(m_mutex);
    m_lines.clear();
  }

 private:
  class Appender : public log4cplus::Appender {
   public:
    explicit Appender(LogCapture* owner) : m_owner(owner) {}
    ~Appender() override { destructorImpl(); }
    void close() override {}

   protected:
    void append(const log4cplus::spi::InternalLoggingEvent& event) override {
      {
        std::lock_guard<std::mutex> l(m_owner->m_mutex);
        m_owner->m_lines.push_back(event.getMessage());
      }
      if (m_owner->onLine) m_owner->onLine(event.getMessage());
    }

   private:
    LogCapture* m_owner;
  };

  mutable std::mutex m_mutex;
  std::vector<std::string> m_lines;
  log4cplus::SharedAppenderPtr m_appender;
  int m_previous;
};
