// The session loop, the dispatch by request code and the requests about the session itself.
#include "server/session.h"

#include "platform/platform.h"

namespace mdnio::server {

namespace {

// How often a waiting session looks whether the server is stopping.
constexpr int kWaitStepMs = 200;

// Environment modes a client may set on its session: the rest would let it choose directories
// and libraries of the server's machine (6 to 8), reach other servers (12, 13) or hand the
// server a pointer (9).
bool settableMode(int32_t mode) {
    return (mode >= 1 && mode <= 5) || mode == MDK_MODE_SYNC_WRITES;
}
// Modes whose value travels as text.
bool textMode(int32_t mode) {
    return (mode >= 6 && mode <= 8) || mode == 12;
}
// Modes a client may read: numbers only, never an address of the server's memory.
bool readableMode(int32_t mode) {
    return settableMode(mode) || mode == MDK_MODE_VERSION;
}

// The answer to the server-kind query: a server of this kind (upper 16 bits 1).
constexpr int32_t kServerKind = 0x00010000;

}  // namespace

Session::Session(int socket, const SessionContext& context)
    : context_(context),
      link_(remote::adoptSocket(socket, context.options.maxFrame)),
      env_(MDK_AllocEnv()),
      random_(std::random_device{}()) {
    // A client that stops in the middle of a request is given as long as an idle one.
    platform::tcpSetRecvTimeout(socket, context.options.idleSeconds * 1000);
}

Session::~Session() {
    if (env_) MDK_DeAllocEnv(env_);
    remote::disconnect(link_);
}

void Session::serve() {
    if (!link_ || !env_) return;
    while (waitForRequest() && link_->receive()) {
        if (!answerOne()) break;
    }
}

bool Session::waitForRequest() {
    const int64_t idleMs = int64_t{context_.options.idleSeconds} * 1000;
    for (int64_t waited = 0; !context_.stopping.load(); waited += kWaitStepMs) {
        if (idleMs > 0 && waited >= idleMs) return false;
        switch (platform::tcpWaitReadable(link_->socket, kWaitStepMs)) {
            case platform::WaitResult::Ready:
                return true;
            case platform::WaitResult::Failed:
                return false;
            case platform::WaitResult::TimedOut:
                break;
        }
    }
    return false;
}

bool Session::answerOne() {
    Outcome outcome = Outcome::Refused;
    if (link_->getByte(code_)) {
        context_.counts[code_]++;
        if (Handler handler = handlerFor(code_)) outcome = (this->*handler)();
    }
    if (outcome == Outcome::Refused) {
        link_->beginReply();
        link_->putLong(-1);
    }
    return link_->send() && outcome != Outcome::Last;
}

Session::Handler Session::handlerFor(uint8_t code) {
    namespace rq = remote::request;
    switch (code) {
        case rq::kOpenSession:
            return &Session::openSession;
        case rq::kCloseSession:
            return &Session::closeSession;
        case rq::kGetMode:
            return &Session::getMode;
        case rq::kSetMode:
            return &Session::setMode;
        case rq::kOpen:
            return &Session::open;
        case rq::kClose:
            return &Session::close;
        case rq::kSeek:
            return &Session::seek;
        case rq::kRead:
            return &Session::read;
        case rq::kWrite:
            return &Session::write;
        case rq::kRemove:
            return &Session::remove;
        case rq::kGetPosition:
            return &Session::getPosition;
        case rq::kSetPosition:
            return &Session::setPosition;
        case rq::kErrorNumber:
            return &Session::errorNumber;
        case rq::kReportError:
            return &Session::reportError;
        case rq::kBegin:
        case rq::kCommit:
        case rq::kRollback:
            return &Session::transaction;
        default:
            return nullptr;  // answered with a refusal
    }
}

Session::Outcome Session::reply(int32_t result) {
    link_->beginReply();
    return link_->putLong(result) ? Outcome::Answered : Outcome::Refused;
}

bool Session::sessionMatches() {
    int32_t number = 0;
    return link_->getLong(number) && number_ != 0 && number == number_;
}

// Unpredictable, never 0 or -1, and (for file numbers) unused in this session.
int32_t Session::newNumber() {
    for (;;) {
        auto n = static_cast<int32_t>(random_() & 0x7FFFFFFF);
        if (n != 0 && files_.find(n) == files_.end() && n != number_) return n;
    }
}

Session::Outcome Session::openSession() {
    if (number_ != 0) return Outcome::Refused;  // one session per connection
    number_ = newNumber();
    return reply(number_);
}

Session::Outcome Session::closeSession() {
    if (!sessionMatches()) return Outcome::Refused;
    return reply(0) == Outcome::Answered ? Outcome::Last : Outcome::Refused;
}

Session::Outcome Session::getMode() {
    int32_t mode = 0;
    if (!sessionMatches() || !link_->getLong(mode)) return Outcome::Refused;
    if (mode == remote::kServerKindMode) return reply(kServerKind);
    if (!readableMode(mode)) return Outcome::Refused;
    return reply(static_cast<int32_t>(MDGetEnvMode(env_, mode)));
}

Session::Outcome Session::setMode() {
    int32_t mode = 0;
    if (!sessionMatches() || !link_->getLong(mode)) return Outcome::Refused;
    if (textMode(mode)) {
        std::string text;
        link_->getText(text);  // read past it; no text mode is taken from a client
        return Outcome::Refused;
    }
    int32_t value = 0;
    if (!link_->getLong(value) || !settableMode(mode)) return Outcome::Refused;
    intptr_t result = MDSetEnvMode(env_, mode, value);
    return reply(result == -5 ? -1 : static_cast<int32_t>(result));
}

Session::Outcome Session::transaction() {
    if (!sessionMatches()) return Outcome::Refused;
    namespace rq = remote::request;
    int32_t result = code_ == rq::kBegin    ? MDK_BeginTX(env_)
                     : code_ == rq::kCommit ? MDK_CommitTX(env_)
                                            : MDK_RollbackTX(env_);
    return reply(result);
}

}  // namespace mdnio::server
