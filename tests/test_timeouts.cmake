# Time-outs of the tests that take longer than most, read by CTest after the test discovery.
# Each is several times the test's time in ctest's output of the default build (the figure in
# the comment), so that a hang costs little and a busy machine nothing.
set_tests_properties(
  ServerRunTest.ToolServerAnswersRefusesASecondAndFreesTheNameAtItsEnd         # 4.2 s
  ServerRunTest.SignalsStopTheToolServerCleanlyWithAndWithoutRuntime          # 3.6 s
  ReaderTest.WithoutAnAnswerTheFileOnDiskIsReadUnlessNoServerRuns             # 4.1 s
  PROPERTIES TIMEOUT 60)

# Each request of this one waits out the bound of the shared mutex (5 s), and so do the
# server's periodic snapshots between them.
set_tests_properties(
  LockTest.AServerFacingAForgedOwnerSkipsItsDutiesWithOneLineAndGoesOnAnswering # 26 s
  PROPERTIES TIMEOUT 90)

# The torture test runs for VEK_RIR_TORTURE_SECONDS (40 by default), then checks and tears
# down for a few seconds more.
set(vek_rir_torture_seconds 40)
if(DEFINED ENV{VEK_RIR_TORTURE_SECONDS} AND "$ENV{VEK_RIR_TORTURE_SECONDS}" MATCHES "^[0-9]+$")
  set(vek_rir_torture_seconds $ENV{VEK_RIR_TORTURE_SECONDS})
endif()
math(EXPR vek_rir_torture_timeout "${vek_rir_torture_seconds} * 2 + 100")
set_tests_properties(TortureTest.KilledWritersAndServerLeaveEveryFileWhole
  PROPERTIES TIMEOUT ${vek_rir_torture_timeout})

# About 40 crash images, each attached (those with a held mutex wait out its 2 s bound for an
# earlier boot's holder), dumped, exported twice, snapped and merged.
set_tests_properties(PowerCutTest.EveryImageADiskMayHoldAfterACutIsReadAndAppendedToSafely
  PROPERTIES TIMEOUT 240)
