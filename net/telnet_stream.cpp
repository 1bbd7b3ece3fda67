#include "net/telnet_stream.h"

namespace net::telnet {

TelnetStream::TelnetStream(Role role) : role(role) { subnegotiation.reserve(maxSubnegotiation); }

void TelnetStream::appendOffers(std::vector<unsigned char>& out) {
    request(will, binary, binaryOption.ours);
    request(doOption, binary, binaryOption.theirs);
    request(will, suppressGoAhead, goAheadOption.ours);
    request(doOption, suppressGoAhead, goAheadOption.theirs);
    if (role == Role::server)
        request(doOption, comPortOption, comPort.theirs);
    else
        request(will, comPortOption, comPort.ours);
    out.insert(out.end(), answers.begin(), answers.end());
    answers.clear();
}

bool TelnetStream::comPortAgreed() const { return comPort.ours == Side::yes || comPort.theirs == Side::yes; }

TelnetStream::Option* TelnetStream::find(unsigned char option) {
    switch (option) {
    case binary: return &binaryOption;
    case suppressGoAhead: return &goAheadOption;
    case comPortOption: return &comPort;
    default: return nullptr;
    }
}

void TelnetStream::request(unsigned char verbToSend, unsigned char option, Side& side) {
    side = Side::wantYes;
    answers.insert(answers.end(), {iac, verbToSend, option});
}

// Answers only what changes a state, so that two peers never loop.
void TelnetStream::negotiate(unsigned char received, unsigned char option) {
    Option* known = find(option);
    const bool enable = received == will || received == doOption;
    if (known == nullptr) {
        if (enable) answers.insert(answers.end(), {iac, received == will ? dont : wont, option});
        return;
    }
    const bool theirSide = received == will || received == wont;
    Side& side = theirSide ? known->theirs : known->ours;
    if (enable) {
        if (side == Side::no) answers.insert(answers.end(), {iac, theirSide ? doOption : will, option});
        side = Side::yes;
    } else {
        if (side == Side::yes) answers.insert(answers.end(), {iac, theirSide ? dont : wont, option});
        side = Side::no;
    }
}

void TelnetStream::endSubnegotiation(CommandSink& sink, size_t dataBefore) {
    if (!oversize && subnegotiation.size() > 1 && subnegotiation[0] == comPortOption)
        sink.comPortCommand(subnegotiation.data() + 1, subnegotiation.size() - 1, dataBefore);
    subnegotiation.clear();
    oversize = false;
}

size_t TelnetStream::receive(const unsigned char* in, size_t length, unsigned char* data, CommandSink& sink) {
    size_t count = 0;
    for (size_t i = 0; i < length; ++i) {
        const unsigned char byte = in[i];
        switch (state) {
        case State::data:
            if (byte == iac)
                state = State::command;
            else
                data[count++] = byte;
            break;
        case State::subnegotiation:
            if (byte == iac) {
                state = State::subnegotiationCommand;
                break;
            }
            if (subnegotiation.size() < maxSubnegotiation)
                subnegotiation.push_back(byte);
            else
                oversize = true;
            break;
        case State::subnegotiationCommand:
            if (byte == iac) {
                if (subnegotiation.size() < maxSubnegotiation)
                    subnegotiation.push_back(iac);
                else
                    oversize = true;
                state = State::subnegotiation;
                break;
            }
            if (byte == se) {
                endSubnegotiation(sink, count);
                state = State::data;
                break;
            }
            // A subnegotiation cut short by another command: drop it and
            // take the command.
            subnegotiation.clear();
            oversize = false;
            [[fallthrough]];
        case State::command:
            if (byte == iac) {
                data[count++] = iac;
                state = State::data;
            } else if (byte == will || byte == wont || byte == doOption || byte == dont) {
                verb = byte;
                state = State::option;
            } else if (byte == sb) {
                state = State::subnegotiation;
            } else {
                // NOP, GA, AYT and the rest mean nothing on a serial line.
                state = State::data;
            }
            break;
        case State::option:
            negotiate(verb, byte);
            state = State::data;
            break;
        }
    }
    return count;
}

size_t TelnetStream::escape(const unsigned char* in, size_t length, unsigned char* out) {
    size_t count = 0;
    for (size_t i = 0; i < length; ++i) {
        out[count++] = in[i];
        if (in[i] == iac) out[count++] = iac;
    }
    return count;
}

void TelnetStream::appendCommand(std::vector<unsigned char>& out, unsigned char command, const unsigned char* value,
                                 size_t length) {
    out.insert(out.end(), {iac, sb, comPortOption, command});
    for (size_t i = 0; i < length; ++i) {
        out.push_back(value[i]);
        if (value[i] == iac) out.push_back(iac);
    }
    out.insert(out.end(), {iac, se});
}

}  // namespace net::telnet
