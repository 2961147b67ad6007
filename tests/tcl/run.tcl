# tclsh run.tcl file.test: runs one tcltest file and exits with status 1 when
# any of its tests failed, when it ran none, or when the file itself failed.
package require tcltest 2.2

set testfile [lindex $argv 0]
set argv {}

# cleanupTests prints the summary and then clears the counters: keep them first.
rename ::tcltest::cleanupTests ::tcltest::RunnerCleanupTests
proc ::tcltest::cleanupTests {args} {
    set ::runner_failed $::tcltest::numTests(Failed)
    set ::runner_total $::tcltest::numTests(Total)
    uplevel 1 [list ::tcltest::RunnerCleanupTests {*}$args]
}
::tcltest::configure -verbose {body error}

if {[catch {uplevel #0 [list source $testfile]} msg]} {
    puts stderr "$testfile: $::errorInfo"
    exit 1
}
if {![info exists ::runner_failed]} {
    puts stderr "$testfile: the file did not call cleanupTests"
    exit 1
}
exit [expr {$::runner_failed > 0 || $::runner_total == 0}]
