#!/bin/sh
# The demo component: says it is alive every 5 seconds, on standard output
# (the terminal of a service run in the foreground) and in demo.log in its
# install folder.
while :; do
  line="demo-clock $ZEV_COMPONENT_VERSION (pid $$): alive at $(date '+%H:%M:%S')"
  echo "$line"
  echo "$line" >> demo.log
  sleep 5
done
