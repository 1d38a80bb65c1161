#include "faulty_card.h"

#include <algorithm>
#include <charconv>
#include <string>

#include "apdu.h"
#include "secret_wipe.h"

namespace draxel::sim {
namespace {

constexpr size_t kLongData = 300;
constexpr uint8_t kFiller = 0xA5;

std::optional<Fault> parse_kind(std::string_view kind)
{
	if (kind == "drop")
		return Fault::kDrop;
	if (kind == "short")
		return Fault::kShort;
	if (kind == "long")
		return Fault::kLong;
	if (kind == "cut")
		return Fault::kCut;
	if (kind == "extra")
		return Fault::kExtra;
	if (kind == "status")
		return Fault::kStatus;
	return std::nullopt;
}

// Splits off the text up to the next ':' (all of it when there is none).
std::string_view next_field(std::string_view &text)
{
	const size_t colon = text.find(':');
	std::string_view field = text.substr(0, colon);
	text = colon == std::string_view::npos ? std::string_view() : text.substr(colon + 1);
	return field;
}

template <typename T>
bool parse_number(std::string_view field, int base, T &value)
{
	if (field.empty())
		return false;
	const auto [end, error] =
	        std::from_chars(field.data(), field.data() + field.size(), value, base);
	return error == std::errc() && end == field.data() + field.size();
}

} // namespace

std::optional<FaultPlan> parse_fault_plan(std::string_view text)
{
	const bool has_ins = text.find(':') != std::string_view::npos;
	FaultPlan plan;
	const auto kind = parse_kind(next_field(text));
	if (!kind)
		return std::nullopt;
	plan.fault = *kind;
	if (has_ins) {
		const bool has_count = text.find(':') != std::string_view::npos;
		const std::string_view ins = next_field(text);
		if (ins != "any") {
			uint8_t value = 0;
			if (ins.size() != 2 || !parse_number(ins, 16, value))
				return std::nullopt;
			plan.ins = value;
		}
		if (has_count && (!parse_number(text, 10, plan.count) || plan.count == 0))
			return std::nullopt;
	}
	return plan;
}

std::vector<uint8_t> FaultyCard::process(std::span<const uint8_t> apdu)
{
	std::vector<uint8_t> reply = inner_.process(apdu);
	++commands_;
	Fault fault = Fault::kNone;
	for (Pending &p : plans_) {
		const bool counted = apdu.size() >= 2 && (!p.plan.ins || apdu[1] == *p.plan.ins);
		if (p.fired || p.plan.fault == Fault::kNone || !counted ||
		    ++p.matching != p.plan.count)
			continue;
		p.fired = true;
		if (fault == Fault::kNone)
			fault = p.plan.fault;
	}
	return fault == Fault::kNone ? reply : spoil(fault, std::move(reply));
}

bool FaultyCard::fired() const
{
	return std::all_of(plans_.begin(), plans_.end(), [](const Pending &p) {
		return p.fired || p.plan.fault == Fault::kNone;
	});
}

bool FaultyCard::pull_requested()
{
	const bool pull = pull_;
	pull_ = false;
	return pull || inner_.pull_requested();
}

std::vector<uint8_t> FaultyCard::spoil(Fault fault, std::vector<uint8_t> reply)
{
	const uint16_t status = status_of(reply);
	std::vector<uint8_t> data(reply.begin(), reply.end() - 2);
	wipe(reply); // the lost reply may carry a key or plaintext
	std::vector<uint8_t> spoiled;
	spoiled.reserve(data.size() + 3); // no copy of the data left behind by a growth
	switch (fault) {
	case Fault::kDrop:
		pull_ = true;
		spoiled = status_only(sw::kNoPreciseDiagnosis); // never reaches the reader
		break;
	case Fault::kShort:
		spoiled = {static_cast<uint8_t>(status >> 8)};
		break;
	case Fault::kLong:
		spoiled.assign(kLongData, kFiller);
		append_status(spoiled, sw::kOk);
		break;
	case Fault::kCut:
		spoiled.assign(data.begin(), data.end() - (data.empty() ? 0 : 1));
		append_status(spoiled, status);
		break;
	case Fault::kExtra:
		spoiled = data;
		spoiled.push_back(kFiller);
		append_status(spoiled, status);
		break;
	case Fault::kStatus:
	case Fault::kNone:
		spoiled = status_only(sw::kNoPreciseDiagnosis);
		break;
	}
	wipe(data);
	return spoiled;
}

} // namespace draxel::sim
