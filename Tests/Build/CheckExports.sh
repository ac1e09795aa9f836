#!/bin/sh
# The module exports exactly one name, undecorated, and imports no runtime DLL of the compiler.
set -eu
objdump=$1 dll=$2
names=$("$objdump" -p "$dll" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | sed -n 's/^\s*\[\s*[0-9]*\] //p')
[ "$names" = "GetComponentsModuleObject" ] || { echo "unexpected exports: '$names'"; exit 1; }
imports=$("$objdump" -p "$dll" | sed -n 's/^\s*DLL Name: //p')
if echo "$imports" | grep -i -E 'libstdc|libgcc|libwinpthread' ; then
  echo "the module depends on a compiler runtime DLL"; exit 1
fi
echo "exports: $names"
