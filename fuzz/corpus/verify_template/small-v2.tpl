penwell-verify-template 2
kind pen
pressure-scale 1
references 3
signature 1
stroke 3 -
0 0 1 0
1 0 1 10
2 1 1 20
signature 2
stroke 2 0
0 0 1 0
1 1 1 10
stroke 1 120
3 1 0.5 0
signature 1
stroke 2 -
0 1 1 0
2 0 1 15
distances position
0 0.1 0.1
0.1 0 0.06
0.1 0.06 0
distances velocity
0 0.2 0.15
0.2 0 0.08
0.15 0.08 0
distances direction
0 0.3 0.2
0.3 0 0.1
0.2 0.1 0
distances pressure
0 0.4 0.25
0.4 0 0.12
0.25 0.12 0
distances rhythm
0 0.5 0.3
0.5 0 0.14
0.3 0.14 0
distances pressure-shape
0 0.6 0.35
0.6 0 0.16
0.35 0.16 0
end
