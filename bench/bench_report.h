// What the benchmarks share: repeated runs in random order, and the median
// speed of each run kept for the ratio table printed after the console one.
#pragma once

#include <benchmark/benchmark.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

namespace draxel::bench {

class Collector : public benchmark::ConsoleReporter {
public:
	void ReportRuns(const std::vector<Run> &runs) override
	{
		for (const Run &run : runs) {
			auto speed = run.counters.find("bytes_per_second");
			if (run.error_occurred || speed == run.counters.end())
				continue;
			const std::string &name = run.run_name.function_name;
			if (run.run_type == Run::RT_Iteration)
				samples_[name].push_back(speed->second.value);
			else if (run.aggregate_name == "median")
				median_[name] = speed->second.value;
		}
		ConsoleReporter::ReportRuns(runs);
	}

	double speed(const std::string &name)
	{
		if (median_.count(name) != 0)
			return median_[name];
		std::vector<double> &s = samples_[name];
		if (s.empty())
			return 0;
		std::sort(s.begin(), s.end());
		return s[s.size() / 2];
	}

private:
	std::map<std::string, std::vector<double>> samples_;
	std::map<std::string, double> median_;
};

// Five repetitions in random order unless the command line says otherwise.
inline void initialize(int argc, char **argv)
{
	std::vector<char *> args{argv[0], const_cast<char *>("--benchmark_repetitions=5"),
	                         const_cast<char *>("--benchmark_enable_random_interleaving=true"),
	                         const_cast<char *>("--benchmark_report_aggregates_only=true")};
	args.insert(args.end(), argv + 1, argv + argc);
	int count = static_cast<int>(args.size());
	benchmark::Initialize(&count, args.data());
}

} // namespace draxel::bench
