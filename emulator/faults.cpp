/*
 * Fault switches and their text form.
 */

#include "emulator/faults.h"

#include <charconv>
#include <cstdlib>
#include <vector>

namespace zm4::emu {

bool FaultSwitch::fire(std::mt19937_64 &rng)
{
	if (!on || count == 0)
		return false;
	if (p < 1.0) {
		std::uniform_real_distribution<double> draw(0.0, 1.0);
		if (draw(rng) >= p)
			return false;
	}
	if (count > 0 && --count == 0)
		on = false;
	return true;
}

namespace {

std::vector<std::string_view> split(std::string_view text, char separator)
{
	std::vector<std::string_view> parts;
	size_t start = 0;
	while (start <= text.size()) {
		const size_t end = text.find(separator, start);
		parts.push_back(text.substr(start, end == std::string_view::npos ? text.npos : end - start));
		if (end == std::string_view::npos)
			break;
		start = end + 1;
	}
	return parts;
}

bool parseInteger(std::string_view text, int64_t &out)
{
	int base = 10;
	if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
		text.remove_prefix(2);
		base = 16;
	}
	const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out, base);
	return ec == std::errc() && end == text.data() + text.size() && !text.empty();
}

bool parseProbability(std::string_view text, double &out)
{
	/* from_chars for doubles is not in every library this builds with. */
	const std::string copy(text);
	char *end = nullptr;
	out = std::strtod(copy.c_str(), &end);
	return !copy.empty() && end == copy.c_str() + copy.size() && out >= 0.0 && out <= 1.0;
}

} /* namespace */

bool parseFault(std::string_view spec, Faults &faults, std::string *error)
{
	auto fail = [&](const std::string &message) {
		if (error)
			*error = "fault '" + std::string(spec) + "': " + message;
		return false;
	};

	Faults result = faults;
	const size_t colon = spec.find(':');
	const std::string_view name = spec.substr(0, colon);
	std::vector<std::string_view> args;
	if (colon != std::string_view::npos)
		args = split(spec.substr(colon + 1), ',');

	FaultSwitch *sw = nullptr;
	if (name == "noanswer")
		sw = &result.noAnswer;
	else if (name == "ctrlfail")
		sw = &result.ctrlFail;
	else if (name == "halt-on-write")
		sw = &result.haltOnWrite;
	else if (name == "status-error")
		sw = &result.statusError;
	else if (name == "isoerror")
		sw = &result.isoError;
	else if (name == "isofail")
		sw = &result.isoFail;
	else if (name == "stall")
		sw = &result.stall;
	else if (name == "corrupt")
		sw = &result.corrupt;
	else if (name == "slowctrl")
		sw = &result.slowCtrl;
	else if (name != "refuse-alt" && name != "disconnect")
		return fail("unknown fault name");

	bool off = false;
	bool positionalSeen = false;
	if (sw)
		*sw = FaultSwitch{ true, 1.0, -1 };

	for (std::string_view arg : args) {
		if (arg.empty())
			return fail("empty argument");
		const size_t eq = arg.find('=');
		const std::string_view key = eq == arg.npos ? std::string_view() : arg.substr(0, eq);
		const std::string_view value = eq == arg.npos ? arg : arg.substr(eq + 1);
		int64_t number = 0;

		if (eq == arg.npos && value == "off") {
			off = true;
		} else if (key == "count" && sw) {
			if (!parseInteger(value, number) || number < 1)
				return fail("count must be a whole number of at least 1");
			sw->count = number;
		} else if (key == "p" && sw) {
			if (!parseProbability(value, sw->p))
				return fail("p must lie between 0 and 1");
		} else if (key == "seed") {
			if (!parseInteger(value, number) || number < 0)
				return fail("seed must be a whole number");
			result.seed = static_cast<uint64_t>(number);
		} else if (name == "status-error" && (key.empty() || key == "bits") && !positionalSeen) {
			if (!parseInteger(value, number) || number < 1 || number > 255)
				return fail("error bits must be 1 to 0xFF");
			result.statusErrorBits = static_cast<uint8_t>(number);
			positionalSeen = true;
		} else if (name == "corrupt" && key.empty() && !positionalSeen) {
			if (value == "linelength")
				result.corruption = Corruption::lineLength;
			else if (value == "eol")
				result.corruption = Corruption::endOfLine;
			else if (value == "eof")
				result.corruption = Corruption::endOfFrame;
			else if (value == "magic")
				result.corruption = Corruption::magic;
			else
				return fail("corruption is one of linelength, eol, eof, magic");
			positionalSeen = true;
		} else if (name == "corrupt" && key == "line") {
			if (!parseInteger(value, number) || number < 0 || number > 287)
				return fail("line must be 0 to 287");
			result.corruptLine = static_cast<int>(number);
		} else if (name == "corrupt" && key == "offset") {
			if (!parseInteger(value, number) || number < 1 || number > 1000)
				return fail("offset must be 1 to 1000");
			result.magicOffset = static_cast<int>(number);
		} else if (name == "refuse-alt" && key.empty()) {
			if (!parseInteger(value, number) || number < 0 || number > 3)
				return fail("alternate settings are 0 to 3");
			result.refusedAlternates = static_cast<uint8_t>(result.refusedAlternates | (1u << number));
			positionalSeen = true;
		} else if (name == "slowctrl" && key == "ms") {
			if (!parseInteger(value, number) || number < 0 || number > 60000)
				return fail("ms must be 0 to 60000");
			result.slowCtrlMs = static_cast<int>(number);
		} else {
			return fail("unexpected argument '" + std::string(arg) + "'");
		}
	}

	if (name == "refuse-alt" && !positionalSeen && !off)
		return fail("name the alternate setting to refuse, e.g. refuse-alt:3");

	if (off) {
		if (sw)
			sw->on = false;
		else if (name == "refuse-alt")
			result.refusedAlternates = 0;
		else
			result.disconnect = false;
	} else if (name == "disconnect") {
		result.disconnect = true;
	}

	faults = result;
	return true;
}

bool parseFaults(std::string_view specs, Faults &faults, std::string *error)
{
	Faults result = faults;
	for (std::string_view spec : split(specs, ';')) {
		if (spec.empty())
			continue;
		if (!parseFault(spec, result, error))
			return false;
	}
	faults = result;
	return true;
}

} /* namespace zm4::emu */
