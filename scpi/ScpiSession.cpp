#include "ScpiSession.h"

#include "ScpiLexer.h"

#include <utility>

ScpiSession::ScpiSession(ScpiInstrument& instrument, Identity identity)
    : instrument_(instrument), identity_(std::move(identity))
{
}

void ScpiSession::Feed(std::string_view bytes)
{
    inbox_.append(bytes);
    // Bytes that come in while a line runs wait for the running loop.
    if (depth_ == 0)
        Pump();
}

bool ScpiSession::Idle() const
{
    return !waiting_ && units_.empty() && inbox_.find('\n') == std::string::npos;
}

void ScpiSession::Continue()
{
    if (!std::exchange(yielded_, false))
        return;
    if (depth_ == 0)
        Resume();
}

bool ScpiSession::AnswerComing()
{
    if (outputUnread_ || !Idle())
        return true;
    status_.Push(-420);
    return false;
}

std::uint16_t ScpiSession::OperationCondition() const
{
    // The end of an operation runs inside the core, which is busy until it
    // returns: that is no operation in progress. Any board switching or
    // settling is the instrument's.
    std::uint16_t condition = switching_ ? ScpiStatus::kSwitching : 0;
    for (int board = 1; board <= instrument_.Boards(); ++board) {
        const SwitchView view = instrument_.Board(board).View();
        condition |= (!completing_ && view.busy ? ScpiStatus::kSwitching : 0) | (view.settling ? ScpiStatus::kSettling : 0);
    }
    return condition;
}

std::uint16_t ScpiSession::QuestionableCondition() const
{
    std::uint16_t condition = 0;
    for (int board = 1; board <= instrument_.Boards(); ++board) {
        const SwitchView view = instrument_.Board(board).View();
        condition |= (view.reach == PortReach::Real ? 0 : ScpiStatus::kNoBoard) | (view.bits ? 0 : ScpiStatus::kStateUnknown)
                     | (view.cycles.AtLimit() ? ScpiStatus::kCycleLimit : 0);
    }
    return condition;
}

std::uint8_t ScpiSession::StatusByte() const
{
    return status_.StatusByte(OperationCondition(), QuestionableCondition(), MessageAvailable());
}

void ScpiSession::Sample()
{
    status_.operation.Set(OperationCondition());
    status_.questionable.Set(QuestionableCondition());
}

void ScpiSession::DeviceClear()
{
    ++generation_;
    inbox_.clear();
    units_.clear();
    answers_.clear();
    discarding_ = false;
    waiting_ = false;
    yielded_ = false;
    switching_ = false;
    commands_.NewMessage();
}

void ScpiSession::Pump()
{
    ++depth_;
    while (!waiting_ && !yielded_) {
        if (!units_.empty()) {
            if (share_ && !share_()) {
                yielded_ = true;
                break;
            }
            const ScpiUnit unit = std::move(units_.front());
            units_.pop_front();
            Sample();
            commands_.Run(*this, unit);
            continue;
        }
        Flush();
        if (!NextLine())
            break;
    }
    --depth_;
}

bool ScpiSession::NextLine()
{
    const std::string tooLong = "line longer than " + std::to_string(kMaxLine) + " bytes discarded";
    for (;;) {
        const std::size_t end = inbox_.find('\n');
        if (end == std::string::npos) {
            // Room for the CR of a CR LF that has not arrived yet.
            if (!discarding_ && inbox_.size() > kMaxLine + 1) {
                status_.Push(-102, tooLong);
                discarding_ = true;
            }
            if (discarding_)
                inbox_.clear();
            return false;
        }
        std::string line = inbox_.substr(0, end);
        inbox_.erase(0, end + 1);
        if (std::exchange(discarding_, false))
            continue;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.size() > kMaxLine) {
            status_.Push(-102, tooLong);
            continue;
        }
        commands_.NewMessage();
        for (ScpiUnit& unit : LexMessage(line))
            units_.push_back(std::move(unit));
        if (units_.empty())
            continue;
        if (dropUnread_ && outputUnread_) {
            dropUnread_();
            outputUnread_ = false;
            status_.Push(-410);
        }
        return true;
    }
}

void ScpiSession::Flush()
{
    if (answers_.empty())
        return;
    std::string message;
    for (const std::string& answer : answers_)
        message += (message.empty() ? "" : ";") + answer;
    answers_.clear();
    message += '\n';
    if (output_)
        output_(message);
}

void ScpiSession::Operate(std::function<void(ScpiInstrument::Done)> start, std::function<void(const OperationResult&)> after)
{
    switching_ = true;
    Sample();
    Wait(std::move(start), [this, after = std::move(after)](const OperationResult& result) {
        switching_ = false;
        after(result);
    });
}

void ScpiSession::AfterAll(std::function<void()> after)
{
    Wait([this](ScpiInstrument::Done done) { instrument_.WhenIdle([done = std::move(done)] { done({}); }); },
         [after = std::move(after)](const OperationResult&) { after(); });
}

void ScpiSession::Wait(std::function<void(ScpiInstrument::Done)> start, std::function<void(const OperationResult&)> after)
{
    waiting_ = true;
    start([weak = weak_from_this(), after = std::move(after), generation = generation_,
           called = std::make_shared<bool>(false)](const OperationResult& result) {
        const auto self = weak.lock();
        // Gone, or cleared since: nobody waits for this any more.
        if (!self || self->generation_ != generation || std::exchange(*called, true))
            return;
        self->waiting_ = false;
        self->completing_ = true;
        after(result);
        self->Resume();
        self->completing_ = false;
    });
}

void ScpiSession::Resume()
{
    // The rest of the line runs at once, before the operations the core has
    // queued behind this one: a query right after a command sees its result.
    // Whatever this starts now is queued, so this nests one level at most.
    if (waiting_ || yielded_)
        return;
    const bool fromOutside = depth_ == 0;
    Pump();
    if (fromOutside && !Waiting() && resumed_)
        resumed_();
}
