' Example client: one measurement on the analyzer at COM7 through the registered Quellar.dll.
' Run with: cscript //nologo Measure.vbs [port]
Option Explicit
Dim port : port = 7
If WScript.Arguments.Count > 0 Then port = CLng(WScript.Arguments(0))

Dim controller, state, compiler, analysis, marks, re, im, i
Set controller = CreateObject("Quellar.Controller")
If Not controller.Open(port) Then
  WScript.Echo "No analyzer answers on COM" & port
  WScript.Quit 1
End If

Set state = controller.State
WScript.Echo "master unit   " & state.MasterID
WScript.Echo "magnetic unit " & state.MagneticID
WScript.Echo "sample " & state.SampleTemperature & " C, system " & state.SystemTemperature & " C"

controller.Manager.SetDetector 0   ' quadrature
controller.Manager.SetFilter 2     ' 300 kHz

' A 90 degree impulse, then 200 samples 1 us apart, then time for the sample to relax.
Set compiler = controller.Compiler
compiler.Clear
compiler.AddImpulse 3300, 0, 8000
compiler.AddReading 200000, 1000
compiler.AddSilence 100000000
If Not compiler.Send() Then
  WScript.Echo "The analyzer did not take the program"
  WScript.Quit 1
End If

Set analysis = controller.Analysis
If Not analysis.Execute(5000, 0, 4, 0) Then
  WScript.Echo "The analysis failed"
  WScript.Quit 1
End If
Set marks = CreateObject("Quellar.DoubleArray")
Set re = CreateObject("Quellar.DoubleArray")
Set im = CreateObject("Quellar.DoubleArray")
compiler.GetAllMarkers marks
analysis.GetAllSamplesRE re
analysis.GetAllSamplesIM im
WScript.Echo analysis.Count & " samples, mean of 4 runs (time/ns, re, im):"
For i = 0 To analysis.Count - 1
  If i >= 10 Then Exit For
  WScript.Echo marks(i) & vbTab & re(i) & vbTab & im(i)
Next
controller.Close
WScript.Quit 0
