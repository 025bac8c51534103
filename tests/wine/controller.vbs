' One measurement through Quellar.Controller, against the scripted analyzer on COM7
' (tests/wine/analyzer_peer.py); COM9 has nothing behind it.
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
Check Not c.Open(9) And Not c.Active, "Open of a port with nothing behind it"
Check c.Open(7) And c.Active, "Open(7)"

Set s = c.State
Check s Is c.State, "the same State object every time"
Check s.MasterID = "M1/v2" And s.MagneticID = "MAG", "IDs [" & s.MasterID & "] [" & s.MagneticID & "]"
Check s.SampleTemperature = 30 And s.SystemTemperature = 25.1, _
  "temperatures " & s.SampleTemperature & " " & s.SystemTemperature

Set m = c.Manager
Check m.SetFilter(2) And m.SetDetector(8) And m.SetGain(5000), "SetFilter, SetDetector, SetGain"

Set p = c.Compiler
p.Clear
p.AddImpulse 2500, 90, 8000
p.AddReading 3000, 1000
p.AddSilence 1250
Check p.Send(), "Send"
Set marks = CreateObject("Quellar.DoubleArray")
p.GetAllMarkers marks
Check marks.Count = 3 And marks(0) = 10600 And marks(1) = 11600 And marks(2) = 12600, "time marks"

Set a = c.Analysis
Check a.Execute(1000, 0, 3, 0), "Execute(1000, 0, 3, 0)"
Set re = CreateObject("Quellar.DoubleArray")
Set im = CreateObject("Quellar.DoubleArray")
a.GetAllSamplesRE re
a.GetAllSamplesIM im
Check a.Count = 3 And re(0) = 102 And re(1) = 202 And re(2) = 1002, _
  a.Count & " averaged amplitudes " & re(0) & " " & re(1) & " " & re(2)
Check im.Sum() = 0 And a.SampleRE(2) = 1002, "imaginary channel empty, SampleRE(2)"

c.Close
Check Not c.Active And s.MasterID = "M1/v2", "closed, the state stays"
If failures = 0 Then WScript.Echo "PASS controller"
