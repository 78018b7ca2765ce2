# Timing constraints for lpf_system as a top of its own, for an integrator
# to start from (SDC). Inside a larger design, the clock is the one the
# interconnect gives the slave, and the bus ports are internal paths that
# the tools time without these delays.

# One clock for the bus and the filter: CLOCK_HZ's default, 50 MHz. Built
# with another CLOCK_HZ, set the period to match (at 100 MHz, 10.000).
create_clock -name clk -period 20.000 [get_ports clk]

# reset is synchronous to clk, active high: a data input like the bus's,
# timed against the clock (its source must be synchronized to clk). The
# delays are the share of the period the driving logic outside takes;
# 0 leaves the whole period to the core, set the integration's own.
set_input_delay -clock clk 0.000 [get_ports {reset address[*] write writedata[*] byteenable[*] read}]
set_output_delay -clock clk 0.000 [get_ports {readdata[*]}]

# The lamps follow the LED register at a human's pace: no timing to them.
set_false_path -to [get_ports {led[*]}]
