#!/bin/sh
# The demo component: says it is alive every 5 seconds, on standard output
# (the terminal of a service run in the foreground) and in demo.log in its
# install folder. While a file named "allocate" is in that folder it also
# holds a gigabyte of memory, as a component that leaks would: the way to
# see an application's MemoryMax at work.
while :; do
  line="demo-clock $ZEV_COMPONENT_VERSION (pid $$): alive at $(date '+%H:%M:%S')"
  echo "$line"
  echo "$line" >> demo.log
  if [ -e allocate ]; then
    held=$(head -c 1073741824 /dev/zero | tr '\000' x)
  fi
  sleep 5
done
