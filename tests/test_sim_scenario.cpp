// Scenario files and the qm38sim program's options: mistakes are refused and
// change nothing, and the shipped scenarios load. What a scenario sets, and
// the program with its fault options, show wherever a test uses them.
#include "support/process.h"
#include "support/sim_served.h"

#include <filesystem>

TEST(SimScenario, MistakesAreReportedAndChangeNothing) {
    for (const char* text :
         {"[1, 2]", R"({"serail": "A"})", R"({"params": {"max_stored": 1}})", R"({"params": {"audio_vol": 256}})",
          R"({"params": {"calib.nom_susc[2]": 1}})", R"({"params": {"size": 100}})",
          R"({"files": {"x": {"hex": "abc"}}})", R"({"files": {"x": {"record": {"marks": [480]}}}})",
          R"({"files": {"raw": {"text": "no"}}})", R"({"faults": {"drop_some": 1}})",
          R"({"clock": [2026, 2, 30, 25, 0, 0]})", R"({"serial": "A00012345"})", R"({"params": )"}) {
        std::string err;
        EXPECT_FALSE(sim_ptr(SIM_create_json(text, &err))) << text;
        EXPECT_FALSE(err.empty()) << text;
    }
    sim_ptr s(SIM_create_demo());
    const bytes params = SIM_get_params(s.get());
    std::string err;
    EXPECT_EQ(SIM_apply_json(s.get(), R"({"params": {"contrast": 1}, "serial": 5})", &err), -1);
    EXPECT_EQ(SIM_get_params(s.get()), params) << "the half-applied scenario was kept";
    EXPECT_EQ(SIM_apply_json(s.get(), R"({"base": "empty"})", &err), -1);
    EXPECT_EQ(SIM_create_file("/nonexistent/scenario.json", &err), nullptr);
    int shipped = 0;
    for (const auto& f : std::filesystem::directory_iterator(std::string(QM_SOURCE_DIR) + "/sim/scenarios")) {
        if (f.path().extension() != ".json") continue;
        EXPECT_TRUE(sim_ptr(SIM_create_file(f.path().string(), &err))) << f.path() << ": " << err;
        ++shipped;
    }
    EXPECT_GE(shipped, 4) << "the shipped scenarios all load";
}

TEST(SimProgram, RefusesBadOptionsAndFiles) {
    const std::pair<std::vector<std::string>, int> cases[] = {
        {{"--drop-first"}, 2}, {{"--no-such-option"}, 2}, {{"--scenario", "/nonexistent.json"}, 1}};
    for (auto [args, exit_code] : cases) {
        args.insert(args.begin(), bin_path("qm38sim"));
        EXPECT_EQ(run_process(args).exit_code, exit_code) << args[1];
    }
    ProcessOptions merged;
    merged.merge_stderr = true;
    const ProcessResult help = run_process({bin_path("qm38sim"), "--help"}, merged);
    EXPECT_TRUE(help.out.starts_with("usage: qm38sim")) << help.out;
    EXPECT_EQ(help.exit_code, 0);
}
