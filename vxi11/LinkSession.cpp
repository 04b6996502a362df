#include "LinkSession.h"

#include <utility>

LinkSession::LinkSession(SwitchCore& core, Source source, const Identity& identity)
    : source_(source), instrument_(core, std::move(source)),
      session_(ScpiSession::Create(instrument_, identity))
{
    session_->SetOutput([this](std::string_view answer) {
        answers_.emplace_back(answer);
        unread_ += answer.size();
        session_->SetOutputUnread(true);
        if (changed_)
            changed_();
    });
    session_->SetDropUnread([this] {
        answers_.clear();
        readOf_ = 0;
        unread_ = 0;
    });
    session_->SetResumed([this] {
        if (changed_)
            changed_();
    });
}

void LinkSession::Write(const QByteArray& data, bool end)
{
    session_->Feed(std::string_view(data.constData(), static_cast<std::size_t>(data.size())));
    // A VXI-11 message needs no line end of its own: END is one.
    if (end && !data.endsWith('\n'))
        session_->Feed("\n");
}

LinkSession::Chunk LinkSession::Read(std::size_t max, std::optional<char> term)
{
    Chunk chunk;
    while (!answers_.empty() && static_cast<std::size_t>(chunk.data.size()) < max && !chunk.term) {
        const std::string& answer = answers_.front();
        std::size_t take = std::min(answer.size() - readOf_, max - static_cast<std::size_t>(chunk.data.size()));
        if (term) {
            const std::size_t at = answer.find(*term, readOf_);
            if (at != std::string::npos && at < readOf_ + take) {
                take = at + 1 - readOf_;
                chunk.term = true;
            }
        }
        chunk.data.append(answer.data() + readOf_, static_cast<qsizetype>(take));
        readOf_ += take;
        unread_ -= take;
        if (readOf_ == answer.size()) {
            answers_.pop_front();
            readOf_ = 0;
            // One response message a read at most: END marks where it ends.
            chunk.end = true;
            break;
        }
    }
    session_->SetOutputUnread(unread_ > 0);
    return chunk;
}

std::uint8_t LinkSession::StatusByte() const
{
    return session_->StatusByte();
}

void LinkSession::Clear()
{
    session_->DeviceClear();
    answers_.clear();
    readOf_ = 0;
    unread_ = 0;
    session_->SetOutputUnread(false);
}
