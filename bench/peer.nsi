; SPDX-License-Identifier: 0BSD
; The peer of the benchmark: an NSIS installer doing the launcher's job. It
; carries the same setup program, solid LZMA with an 8 MiB dictionary (the
; launcher's default), runs silently as the user, unpacks the program into
; its private folder, waits for it, deletes it and ends with its exit code.
;
; makensis -DSETUP=/path/setup.exe -DOUT=/path/peer.exe bench/peer.nsi
Target amd64-unicode
SetCompressor /SOLID lzma
SetCompressorDictSize 8
SilentInstall silent
RequestExecutionLevel user
Name "bench peer"
OutFile "${OUT}"

Section
  InitPluginsDir
  SetOutPath "$PLUGINSDIR"
  File "/oname=$PLUGINSDIR\setup.exe" "${SETUP}"
  ExecWait '"$PLUGINSDIR\setup.exe"' $0
  Delete "$PLUGINSDIR\setup.exe"
  SetErrorLevel $0
SectionEnd
