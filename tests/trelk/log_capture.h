// Redirects the ACE log into a string for the lifetime of the object.
#pragma once

#include <ace/Log_Msg.h>
#include <sstream>
#include <string>

class Log_Capture {
public:
    Log_Capture()
    {
        ACE_LOG_MSG->msg_ostream(&out_, false);
        ACE_LOG_MSG->set_flags(ACE_Log_Msg::OSTREAM);
        ACE_LOG_MSG->clr_flags(ACE_Log_Msg::STDERR);
    }
    ~Log_Capture()
    {
        ACE_LOG_MSG->set_flags(ACE_Log_Msg::STDERR);
        ACE_LOG_MSG->clr_flags(ACE_Log_Msg::OSTREAM);
        ACE_LOG_MSG->msg_ostream(nullptr, false);
    }
    Log_Capture(const Log_Capture &) = delete;
    Log_Capture &operator=(const Log_Capture &) = delete;

    std::string text() const { return out_.str(); }

private:
    std::ostringstream out_;
};
