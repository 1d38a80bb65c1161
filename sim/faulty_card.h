#pragma once

// A card that spoils one reply of another card, for fault tests: the token
// behind it runs every command, but the chosen command's reply is lost,
// cut, swollen or replaced on its way back to the reader.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "card.h"

namespace draxel::sim {

enum class Fault {
	kNone,
	kDrop,   // the card leaves the reader instead of answering
	kShort,  // one byte: not even a whole status word
	kLong,   // 300 data bytes and 9000: more than any reader buffer takes
	kCut,    // the reply's data one byte short, its status word kept
	kExtra,  // one byte more data than the reply had, its status word kept
	kStatus, // 6F00 and no data
};

struct FaultPlan {
	Fault fault = Fault::kNone;
	std::optional<uint8_t> ins; // the instruction byte to count; any when unset
	size_t count = 1;           // the count-th such command is spoiled
};

// "KIND[:INS[:COUNT]]", e.g. "drop:2A:2" (the second PSO command), "short",
// "status:any:5"; KIND is drop, short, long, cut, extra or status, INS two
// hex digits or "any". nullopt for anything else.
std::optional<FaultPlan> parse_fault_plan(std::string_view text);

// Each plan counts the commands on its own and is played once.
class FaultyCard : public Card {
public:
	FaultyCard(Card &inner, FaultPlan plan) : inner_(inner), plans_{{plan}} {}
	FaultyCard(Card &inner, std::vector<FaultPlan> plans) : inner_(inner)
	{
		for (const FaultPlan &plan : plans)
			plans_.push_back({plan});
	}

	std::vector<uint8_t> process(std::span<const uint8_t> apdu) override;
	void power_off() override { inner_.power_off(); }
	void reset() override { inner_.reset(); }
	bool pull_requested() override;

	// Whether every fault has been played.
	bool fired() const;
	// Commands seen so far, whatever their INS.
	size_t commands() const { return commands_; }

private:
	struct Pending {
		FaultPlan plan;
		size_t matching = 0;
		bool fired = false;
	};
	std::vector<uint8_t> spoil(Fault fault, std::vector<uint8_t> reply);

	Card &inner_;
	std::vector<Pending> plans_;
	size_t commands_ = 0;
	bool pull_ = false;
};

} // namespace draxel::sim
