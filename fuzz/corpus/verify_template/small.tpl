penwell-verify-template 1
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
distances
0 0.5 0.25
0.5 0 0.75
0.25 0.75 0
end
