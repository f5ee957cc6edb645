#pragma once
#include <cstdint>
#include <functional>

#include "common/block_result.h"
#include "link/exchange_health.h"

// The rules for a request the line lost or spoiled: what is repeated, what is
// learnt first, what is done again from its start. Every transaction hands
// back an ExchangeResult (answered, refused, silent, spoiled, line lost); the
// rules and the handlers act on that value.
//
// A lost reply does not say whether the request took effect, so a request is
// only repeated when doing it twice does no harm:
//  - repeated (repeatExchange): a request that carries its own index or sets
//    an absolute value. MODBUS: single registers, the rate setup and operator
//    enables, index registers being set, mapping records, slot selection with
//    its read, coils. TVX Standard: every get and put, which all carry their
//    index. Three attempts; after a silent one the controller is probed
//    first, and a controller that does not answer the probe counts as gone
//    (the line then halts).
//  - learnt, then continued (appendExchange): an append, the TVX Standard
//    COM_ADD_SPT and COM_ADD_SPT_2. After a fault the controller's count tells
//    whether it landed; it is sent again only when it did not.
//  - sent once: the restart (COM_RESET, register 340 written 0), which
//    reboots the controller; the transfer learns its effect before anything
//    else.
//  - redone (moveBlock): requests behind a cursor that advances on every
//    access (MODBUS data registers behind an index register, the setpoint
//    cursor and loading, the analog pairs after the quantity), and a list
//    wiped before it is loaded (TVX Standard setpoints). A fault ends the
//    block at once; the whole block is done again from its own beginning, at
//    most twice more, once a probe shows the controller still answers. A read
//    starts from an empty collection, so a redo cannot duplicate.
//  - first layouts (fallbackProbe): the first request of a block with a
//    fallback layout (TVX Standard blocks 6, 11, 27 and the setpoints' wide
//    commands). A controller may ignore a request it does not know: when the
//    repeats end unanswered while the controller answers the probe, the fault
//    is forgotten and the caller takes the fallback.
//
// A controller's refusal is an answer and is never repeated: a value refused
// inside a block is reported (block_report.h) and, where the block allows
// it, the block goes on.

// The faults of one block that were not recovered. The handler of a block
// hands one down to every request it makes; each rule below adds the faults
// it could not recover and leaves out those whose effect it learnt.
struct BlockFaults {
    bool silent = false;   // a request got no answer
    bool spoiled = false;  // a reply was spoiled
    bool broken = false;   // a refusal, a record the image could not store or an append astray broke the block

    // Adds the fault of one exchange, if it had one; hands the result back.
    ExchangeResult note(const ExchangeResult& result);
    void add(const BlockFaults& other);
};

// How a block went whose requests left `faults`, and whether the controller
// is gone or the transfer interrupted.
BlockResult blockResult(const BlockFaults& faults);

// Runs `send`, one exchange whose request is safe to repeat, and repeats it
// while the line spoils it, three attempts in all. The faults of the attempts
// (and of the probes between them) go to `faults` unless a later attempt got
// an answer. The result of the last attempt.
ExchangeResult repeatExchange(BlockFaults& faults, const std::function<ExchangeResult()>& send);
// The same outside a block: the result tells how it went.
ExchangeResult repeatExchange(const std::function<ExchangeResult()>& send);

// The first request of a block with a fallback layout, repeated like any
// other; when the repeats end without an answer while the controller still
// answers the probe, the fault is left out of `faults`.
struct FirstLayout {
    ExchangeResult result;
    // Whether a fallback taken after it is taken because the controller does
    // not know the first layout: refused as unknown, or left unanswered with
    // no clean answer to the probe either. Only then may a refusal of the
    // fallback as unknown too leave the block absent. A first layout that a
    // controller ignored while it answers the probe cleanly may have been
    // lost on the line: a refusal of the fallback then breaks the block.
    bool unknown = false;
};
FirstLayout fallbackProbe(BlockFaults& faults, const std::function<ExchangeResult()>& send);
FirstLayout fallbackProbe(const std::function<ExchangeResult()>& send);

// Appends one element with `send` (sent, never simply repeated). After a
// fault `count` (the controller's element count, or -1; its own requests'
// faults go to the BlockFaults it is given) tells whether it landed; `held`
// is the count the controller had before and is advanced when it did. Three
// attempts. A refusal is handed back as it is. An append that did not land
// after three, or a count that moved otherwise, breaks the block.
ExchangeResult appendExchange(BlockFaults& faults, const std::function<ExchangeResult()>& send,
                              const std::function<int32_t(BlockFaults&)>& count, int32_t& held);

// True when the controller answers a model request (a spoiled reply counts
// as an answer: something is there). Two attempts; after a wait that gave
// up, the requests that bring the line back in step take their place, up to
// three (link/resync.h), and one answered is the answer (followed by the
// model request only when `model` is given). `model`, when given, receives
// the model of a good reply (0 when there was none).
bool probeController(int32_t* model = nullptr);

// One attempt of a wait for the controller: after a wait that gave up, one
// request that brings the line back in step, and when it was answered, or
// nothing was owed, one model request. Never loses the line. `model`, when
// given, receives the model of a good reply, else 0.
ExchangeResult requestModel(int32_t* model = nullptr);

// Single-coil writes used by the transfer procedures; only under MODBUS. A
// coil takes an absolute value: a lost reply is simply repeated.
void writeCoil316(int value);
void writeCoil314(int value);

// ---- whole blocks

// Calls the installed FunctionHandler for one block, once: how it went, and
// whether the controller is gone or the transfer interrupted.
BlockResult runBlock(int mode, int functionNumber);

// Reads (mode 0) or writes (mode 1) one block. After a fault the block is
// done again from its start, at most twice more, once a probe has shown
// that the controller still answers. What a failed attempt reported (values
// refused, blocks lacking) is reported again or not by the next one.
BlockResult moveBlock(int mode, int functionNumber);
