' A script client of the library: the arrays late bound, then one measurement through
' Quellar.Controller against the scripted analyzer on COM7 (tests/wine/analyzer_peer.py); COM9
' has nothing behind it.
Option Explicit
Dim failures : failures = 0

Sub Check(condition, what)
  If Not condition Then
    failures = failures + 1
    WScript.Echo "FAIL " & what
  End If
End Sub

' What both array classes share; 255, 1 and 128 fit either.
Sub CheckArray(progId, name, arrayType)
  Dim a, b, v
  Set a = CreateObject(progId)
  Set b = CreateObject(progId)
  a.count = 3 ' names are case-insensitive
  a.Item(0) = 255 : a(1) = 1 : a(2) = CByte(128)
  ' Wine's engine cannot take the bounds of a typed array; server_probe.cpp checks them.
  v = a.AsVariant
  b.AsVariant = a.AsVariant
  Check TypeName(a) = name And VarType(v) = arrayType And b(0) = 255 And b(2) = 128, _
    progId & " TypeName " & TypeName(a) & ", AsVariant VarType " & VarType(v)
  ' Through a variable the script passes the array by reference.
  b.Count = 9
  b.AsVariant = v
  Check b.Count = 3 And b(1) = 1, progId & " AsVariant through a variable"
  ' A failure is a script error with the library's message and source; the contents stay.
  On Error Resume Next
  a.Count = -1
  Check Err.Number = &H80070057 And Err.Description = "Count -1 is negative" And _
    Err.Source = progId And a.Count = 3, progId & " Count -1: " & Err.Description
  On Error GoTo 0
End Sub

CheckArray "Quellar.DoubleArray", "IDoubleArray", 8197 ' vbArray + vbDouble
CheckArray "Quellar.ByteArray", "IByteArray", 8209 ' vbArray + vbByte

Dim c, s, p, a, marks, re
Set c = CreateObject("Quellar.Controller")
Check Not c.Open(9) And Not c.Active, "Open of a port with nothing behind it"
Check c.Open(7) And c.Active, "Open(7)"
Set s = c.State
Check s.MasterID = "M1/v2" And s.MagneticID = "MAG" And s.SampleTemperature = 30 And _
  s.SystemTemperature = 25.1, "state " & s.MasterID & " " & s.SystemTemperature
Check c.Manager.SetFilter(2) And c.Manager.SetDetector(8) And c.Manager.SetGain(5000), "settings"
Set p = c.Compiler
p.AddImpulse 2500, 90, 8000
p.AddReading 3000, 1000
p.AddSilence 1250
Set marks = CreateObject("Quellar.DoubleArray")
Check p.Send(), "Send"
p.GetAllMarkers marks
Check marks.Count = 3 And marks(0) = 10600 And marks(2) = 12600, "time marks"
Set a = c.Analysis
Set re = CreateObject("Quellar.DoubleArray")
Check a.Execute(1000, 0, 3, 0), "Execute(1000, 0, 3, 0)"
a.GetAllSamplesRE re
Check a.Count = 3 And re(0) = 102 And re(1) = 202 And re(2) = 1002, _
  a.Count & " averaged amplitudes " & re(0) & " " & re(1) & " " & re(2)
c.Close
Check Not c.Active And s.MasterID = "M1/v2", "closed, the state stays"
If failures = 0 Then WScript.Echo "PASS client"
