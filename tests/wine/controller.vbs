' The whole road of one measurement through Quellar.Controller, against the scripted analyzer
' on COM7 (tests/wine/analyzer_peer.py); COM9 has nothing behind it.
Option Explicit
Dim failures : failures = 0

Sub Check(condition, what)
  If Not condition Then
    failures = failures + 1
    WScript.Echo "FAIL " & what
  End If
End Sub

Dim c, s, m, p, a, marks, re, im
Set c = CreateObject("Quellar.Controller")
Check Not c.Active, "a new controller is closed"
Check Not c.Open(9), "Open of a port with nothing behind it"
Check Not c.Active, "still closed"
Check c.Open(7), "Open(7)"
Check c.Active, "open"

Set s = c.State
Check s Is c.State, "the same State object every time"
Check s.MasterID = "M1/v2", "MasterID [" & s.MasterID & "]"
Check s.MagneticID = "MAG", "MagneticID [" & s.MagneticID & "]"
Check s.SampleTemperature = 30, "SampleTemperature " & s.SampleTemperature
Check s.SystemTemperature = 25.1, "SystemTemperature " & s.SystemTemperature

Set m = c.Manager
Check m.SetFilter(2), "SetFilter(2)"
Check m.SetDetector(8), "SetDetector(8)"
Check m.SetGain(5000), "SetGain(5000)"

Set p = c.Compiler
p.Clear
p.AddImpulse 2500, 90, 8000
p.AddReading 3000, 1000
p.AddSilence 1250
Check p.Send(), "Send"
Set marks = CreateObject("Quellar.DoubleArray")
p.GetAllMarkers marks
Check marks.Count = 3, "3 time marks"
Check marks(0) = 10600 And marks(1) = 11600 And marks(2) = 12600, "time marks 10600 11600 12600"

Set a = c.Analysis
Check a.Execute(1000, 0, 3, 0), "Execute(1000, 0, 3, 0)"
Check a.Count = 3, "3 samples, got " & a.Count
Set re = CreateObject("Quellar.DoubleArray")
Set im = CreateObject("Quellar.DoubleArray")
a.GetAllSamplesRE re
a.GetAllSamplesIM im
Check re(0) = 102 And re(1) = 202 And re(2) = 1002, "averaged amplitudes " & re(0) & " " & re(1) & " " & re(2)
Check im.Sum() = 0, "imaginary channel empty in the amplitude layout"
Check a.SampleRE(2) = 1002, "SampleRE(2)"

' A child kept after its controller is gone raises an error with the library's description.
Dim other, orphan, t
Set other = CreateObject("Quellar.Controller")
Set orphan = other.State
Set other = Nothing
On Error Resume Next
t = orphan.SampleTemperature
Check Err.Number <> 0 And Err.Description = "the controller was released", _
  "orphaned State raises [" & Err.Description & "]"
Err.Clear
On Error GoTo 0

c.Close
Check Not c.Active, "closed"
Check s.MasterID = "M1/v2", "the state stays after Close"

If failures > 0 Then
  WScript.Echo failures & " failure(s)"
  WScript.Quit 1
End If
WScript.Echo "PASS controller"
WScript.Quit 0
